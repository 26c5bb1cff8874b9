#pragma once
// Patching a file of the installation ("patch"), and its conditional form "patch-if",
// which patches only when a test file exists.
//
// Prepare extracts the patch item into "<working dir>/updating/<n>.patch" (n counts the
// patch actions of the run). Draft writes the patched file to the draft, after checking
// the file's size and CRC against the patch, so the file itself is untouched until
// Execute moves it to its backup and the draft onto it. A staged update patches the
// working copy in Execute.
#include <cstdio>
#include <string>

#include "updater/action.h"
#include "updater/conditional_action.h"

class PatchAction : public FileAction {
 public:
  using FileAction::FileAction;
  ~PatchAction() override;

  // Two double-quoted texts separated by at least one character that is not a quote:
  // the archive item of the patch (taken as it stands), then the file to patch.
  UpdaterError Parse(char* arguments) override;
  UpdaterError Prepare() override;
  UpdaterError Draft() override;
  UpdaterError Execute() override;
  void Finish(UpdaterError status) override;

  std::string patch_item;
  // The number of the patch file; -1 until Prepare.
  int patch_index = -1;
  std::string patch_file_path;
  std::FILE* patch_stream = nullptr;

 protected:
  // Patches the file into its draft (to_draft) or in place, then closes the patch stream.
  UpdaterError LoadSourceFile(bool to_draft);

 private:
  void ClosePatchStream();
};

using PatchIfAction = ConditionalAction<PatchAction, true>;
