#pragma once
// Adding a file from the archive ("add"), and its conditional forms: "add-if" adds only
// when a test file exists, "add-if-not" only when it does not. The archive item is the
// one named by the file's manifest path.
#include <optional>
#include <string>
#include <vector>

#include "updater/action.h"

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

// Shared by both conditional forms: the test path first, then the file path, each
// double-quoted. After Prepare has decided not to run, the other phases do nothing.
class ConditionalAddAction : public AddAction {
 public:
  using AddAction::AddAction;
  UpdaterError Parse(char* arguments) override;
  UpdaterError Prepare() override;
  UpdaterError Draft() override;
  UpdaterError Execute() override;
  void Finish(UpdaterError status) override;

  // The full path of the test file; none once the action decided not to run.
  std::optional<std::string> test_path;

 protected:
  // Whether the action runs, given whether the test file exists.
  virtual bool RunsWhen(bool test_file_exists) const = 0;
};

class AddIfAction : public ConditionalAddAction {
 public:
  using ConditionalAddAction::ConditionalAddAction;

 protected:
  bool RunsWhen(bool test_file_exists) const override { return test_file_exists; }
};

class AddIfNotAction : public ConditionalAddAction {
 public:
  using ConditionalAddAction::ConditionalAddAction;

 protected:
  bool RunsWhen(bool test_file_exists) const override { return !test_file_exists; }
};
