#include "updater/action_loop.h"

#include "updater/driver_state.h"
#include "updater/update_log.h"

namespace {

void set_progress(float percent) { gProgressPercent.store(percent, std::memory_order_relaxed); }

float total_cost(const ActionList& list) {
  int total = 0;
  for (const Action* a = list.head; a != nullptr; a = a->next) total += a->cost;
  return static_cast<float>(total);
}

// The share of a phase done once actions of summed cost `done` of `total` have run. A
// phase whose actions all cost nothing (removals of files that are gone) is done at once
// rather than dividing by zero.
float phase_share(int done, float total) { return total > 0.0f ? static_cast<float>(done) / total : 1.0f; }

// Draft or Execute over the whole list, from `base` percent by `span` percent. Returns the
// first failure.
template <typename Step>
UpdaterError run_weighted_phase(ActionList& list, float base, float span, Step step) {
  const float total = total_cost(list);
  int done = 0;
  for (Action* a = list.head; a != nullptr; a = a->next) {
    if (UpdaterError e = step(a); e != OK) return e;
    done += a->cost;
    set_progress(base + phase_share(done, total) * span);
  }
  return OK;
}

}  // namespace

UpdaterError RunActions(ActionList& list) {
  if (list.head == nullptr) {
    update_log_printf("empty action list");
    return NO_ACTIONS_ERROR;
  }
  const float count = static_cast<float>(list.count);

  int index = 0;
  for (Action* a = list.head; a != nullptr; a = a->next) {
    if (UpdaterError e = a->Prepare(); e != OK) return e;
    set_progress(static_cast<float>(++index) / count * 20.0f);
  }

  UpdaterError result = run_weighted_phase(list, 20.0f, 65.0f, [](Action* a) { return a->Draft(); });
  if (result != OK) {
    update_log_printf("### draft failed");
  } else {
    result = run_weighted_phase(list, 85.0f, 10.0f, [](Action* a) { return a->Execute(); });
    if (result != OK) update_log_printf("### execution failed");
  }

  index = 0;
  if (result != OK) {
    for (Action* a = list.tail; a != nullptr; a = a->prev) {
      a->Finish(result);
      set_progress(95.0f + static_cast<float>(++index) / count * 5.0f);
    }
    return result;
  }
  for (Action* a = list.head; a != nullptr; a = a->next) {
    a->Finish(OK);
    set_progress(95.0f + static_cast<float>(++index) / count * 5.0f);
  }
  gUpdateSucceeded = true;
  return OK;
}
