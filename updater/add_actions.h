#pragma once
// Adding a file from the archive ("add"), and its conditional forms: "add-if" adds only
// when a test file exists, "add-if-not" only when it does not. The archive item is the
// one named by the file's manifest path.
#include <string>
#include <vector>

#include "updater/action.h"
#include "updater/conditional_action.h"

class AddAction : public FileAction {
 public:
  using FileAction::FileAction;
  UpdaterError Parse(char* arguments) override;
  UpdaterError Prepare() override;
  // Extracts the item into the draft, with the item's flags as its mode.
  UpdaterError Draft() override;
  // Moves an existing target to its backup and the draft onto it.
  UpdaterError Execute() override;
  // Discards the draft; after a failure removes the added file and restores the backup.
  void Finish(UpdaterError status) override;

  // The new file is in place.
  bool added = false;

 private:
  // Creates the folders above the target, remembering those that did not exist.
  UpdaterError MakeParentFolders();

  // Folders this action created, outermost first: removed again, when empty, after a
  // failed run, so that a rollback leaves the tree as it was.
  std::vector<std::string> created_folders_;
};

using AddIfAction = ConditionalAction<AddAction, true>;
using AddIfNotAction = ConditionalAction<AddAction, false>;
