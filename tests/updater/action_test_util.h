#pragma once
// Helpers of the manifest and action tests: actions described as text, and the phases
// run over a whole list in the order the update driver runs them.
#include <string>
#include <vector>

#include "updater/action.h"
#include "updater/add_actions.h"
#include "updater/patch_action.h"
#include "updater/remove_actions.h"

namespace updater_test {

// "keyword path" for one action, with the test path of the conditional forms and the
// patch item; paths relative to the base folder.
inline std::string describe(const Action* a, const std::string& base) {
  auto rel = [&](const std::optional<std::string>& full) {
    if (!full) return std::string("(none)");
    return full->rfind(base + "/", 0) == 0 ? full->substr(base.size() + 1) : *full;
  };
  if (auto* p = dynamic_cast<const PatchIfAction*>(a)) {
    return "patch-if " + rel(p->test_path) + " " + p->patch_item + " " + p->relative_path;
  }
  if (auto* p = dynamic_cast<const PatchAction*>(a)) return "patch " + p->patch_item + " " + p->relative_path;
  if (auto* p = dynamic_cast<const AddIfAction*>(a)) return "add-if " + rel(p->test_path) + " " + p->relative_path;
  if (auto* p = dynamic_cast<const AddIfNotAction*>(a)) {
    return "add-if-not " + rel(p->test_path) + " " + p->relative_path;
  }
  if (auto* p = dynamic_cast<const AddAction*>(a)) return "add " + p->relative_path;
  if (auto* p = dynamic_cast<const RemoveDirAction*>(a)) return "rmdir " + p->relative_path + "/";
  if (auto* p = dynamic_cast<const RemoveAction*>(a)) return "remove " + p->relative_path;
  return "?";
}

inline std::vector<std::string> describe_all(const ActionList& list, const std::string& base) {
  std::vector<std::string> out;
  for (const Action* a = list.head; a != nullptr; a = a->next) out.push_back(describe(a, base));
  return out;
}

// Prepare of every action, then Draft, then Execute; then Finish with the result,
// backwards from the tail after a failed Draft or Execute, forwards after success. A
// failed Prepare ends the run without Finish. Returns the run's result.
inline UpdaterError run_phases(ActionList& list) {
  for (Action* a = list.head; a != nullptr; a = a->next) {
    if (UpdaterError e = a->Prepare(); e != OK) return e;
  }
  UpdaterError result = OK;
  for (Action* a = list.head; a != nullptr && result == OK; a = a->next) result = a->Draft();
  for (Action* a = list.head; a != nullptr && result == OK; a = a->next) result = a->Execute();
  if (result != OK) {
    for (Action* a = list.tail; a != nullptr; a = a->prev) a->Finish(result);
  } else {
    for (Action* a = list.head; a != nullptr; a = a->next) a->Finish(OK);
  }
  return result;
}

}  // namespace updater_test
