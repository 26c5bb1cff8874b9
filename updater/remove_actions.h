#pragma once
// Removing a file ("remove", and "remove"/"remove-cc" of the precomplete list) and a
// folder ("rmdir").
#include "updater/action.h"

// A file, or a symbolic link of any kind (dangling too), is moved to its backup name in
// Execute and the backup deleted (success) or put back (failure) in Finish. A link is
// removed as a link: nothing is followed.
class RemoveAction : public FileAction {
 public:
  using FileAction::FileAction;
  UpdaterError Parse(char* arguments) override;
  UpdaterError Prepare() override;
  UpdaterError Draft() override { return OK; }
  UpdaterError Execute() override;
  void Finish(UpdaterError status) override;

  // The target was absent: nothing to do.
  bool skip = false;
};

// A folder is removed only in Finish after a successful run, when every other action has
// executed, and only when it is empty by then; otherwise it stays (logged, not reported).
class RemoveDirAction : public FileAction {
 public:
  using FileAction::FileAction;
  UpdaterError Parse(char* arguments) override;
  UpdaterError Prepare() override;
  UpdaterError Draft() override { return OK; }
  UpdaterError Execute() override;
  void Finish(UpdaterError status) override;

  bool skip = false;
};
