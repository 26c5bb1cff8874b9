#pragma once
// The actions of a manifest: each line becomes one Action, and the update runs the phases
// over the whole list: Prepare of every action, then Draft of every one, then Execute,
// then Finish with the run's result (forwards after success, backwards from the tail after
// a failed Draft or Execute; a failed Prepare ends the run without Finish).
//
// Prepare checks, Draft writes new contents beside the target (the ".vex-draft" name),
// Execute renames the target to its backup (".vex-backup") and the draft onto it, Finish
// deletes the backup after success or restores it after a failure. A staged update works
// on a copy of the installation and keeps no backups or drafts.
#include <cstdio>
#include <memory>
#include <string>

#include "updater/updater_error.h"

// What the actions of one run share.
struct ActionContext {
  // Paths of the manifest are relative to this folder: the working copy in a staged
  // update, the installation otherwise.
  std::string base_dir;
  // Holds "updating/", where the patch files of the run are written.
  std::string working_dir;
  bool staged = false;
  // Numbers the patch files of the run in the order the patch actions are prepared.
  int patch_counter = 0;
};

class Action {
 public:
  explicit Action(ActionContext& context) : context_(context) {}
  virtual ~Action() = default;
  Action(const Action&) = delete;
  Action& operator=(const Action&) = delete;

  // Takes the action's arguments out of the rest of its manifest line (modified in
  // place; null when the keyword ended the line).
  virtual UpdaterError Parse(char* arguments) = 0;
  virtual UpdaterError Prepare() = 0;
  virtual UpdaterError Draft() = 0;
  virtual UpdaterError Execute() = 0;
  // Failures here are logged and never reported.
  virtual void Finish(UpdaterError status) = 0;

  // The action's weight in the progress of the Draft and Execute phases.
  int cost = 1;
  // This action renamed its target to the backup name.
  bool backup_created = false;
  Action* next = nullptr;
  Action* prev = nullptr;

 protected:
  ActionContext& context_;
};

// An action on one file or folder of the manifest.
class FileAction : public Action {
 public:
  using Action::Action;

  // The base folder, '/' and the relative path.
  std::string full_path;
  // The path as the manifest gives it, for log lines.
  std::string relative_path;

 protected:
  // Takes one double-quoted path (a folder path must end in '/', which is dropped) and
  // sets both paths. PARSE_ERROR when it is not a valid manifest path.
  UpdaterError ParsePath(char** cursor, bool is_dir);
  // The base folder, '/' and `relative`.
  std::string FullPathOf(const char* relative) const;
  // For the conditional forms: takes the leading double-quoted test path (its full path
  // into `test_path`) and points `rest` just past the next double quote after it, where
  // the arguments of the plain form begin. PARSE_ERROR when either is missing.
  UpdaterError ParseTestPath(char* arguments, std::string* test_path, char** rest);
};

// The actions of one manifest in order, owned from head to tail.
class ActionList {
 public:
  ActionList() = default;
  ~ActionList() { clear(); }
  ActionList(const ActionList&) = delete;
  ActionList& operator=(const ActionList&) = delete;

  void append(std::unique_ptr<Action> action);
  void clear();

  Action* head = nullptr;
  Action* tail = nullptr;
  int count = 0;
};
