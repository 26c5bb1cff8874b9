#include "updater/action_loop.h"

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "updater/driver_state.h"

using updater_test::log_text;
using updater_test::ScopedLog;
using updater_test::TempDir;

namespace {

// What the loop did: each call with the progress it found when the call began.
struct Journal {
  std::vector<std::string> calls;
  std::vector<float> progress;
};

class RecordingAction : public Action {
 public:
  RecordingAction(ActionContext& context, Journal& journal, std::string name, int action_cost)
      : Action(context), journal_(journal), name_(std::move(name)) {
    cost = action_cost;
  }

  // The phase ("Prepare", "Draft", "Execute") that fails, with its code.
  std::string fail_in;
  UpdaterError fail_code = OK;

  UpdaterError Parse(char*) override { return OK; }
  UpdaterError Prepare() override { return Step("Prepare"); }
  UpdaterError Draft() override { return Step("Draft"); }
  UpdaterError Execute() override { return Step("Execute"); }
  void Finish(UpdaterError status) override { Record("Finish(" + std::to_string(status) + ")"); }

 private:
  UpdaterError Step(const std::string& phase) {
    Record(phase);
    return phase == fail_in ? fail_code : OK;
  }
  void Record(const std::string& what) {
    journal_.calls.push_back(what + " " + name_);
    journal_.progress.push_back(gProgressPercent.load());
  }
  Journal& journal_;
  std::string name_;
};

class ActionLoop : public ::testing::Test {
 protected:
  void SetUp() override { reset_driver_state(); }
  void TearDown() override { reset_driver_state(); }

  RecordingAction* Add(const std::string& name, int cost) {
    auto action = std::make_unique<RecordingAction>(context_, journal_, name, cost);
    RecordingAction* raw = action.get();
    list_.append(std::move(action));
    return raw;
  }
  // Three actions of cost 1, the second failing in `phase` with CORRUPT_PATCH_ERROR.
  void RunFailing(const char* phase, const char* line, const std::vector<std::string>& calls) {
    Add("a", 1);
    RecordingAction* b = Add("b", 1);
    b->fail_in = phase;
    b->fail_code = CORRUPT_PATCH_ERROR;
    Add("c", 1);
    EXPECT_EQ(RunActions(list_), CORRUPT_PATCH_ERROR);
    EXPECT_FALSE(gUpdateSucceeded);
    EXPECT_EQ(journal_.calls, calls);
    EXPECT_EQ(Final(), 100.0f);
    const std::string text = log_text();
    EXPECT_NE(text.find(std::string(": ") + line + "\n"), std::string::npos) << text;
  }
  // The progress after the run: what a further call would have found.
  float Final() const { return gProgressPercent.load(); }

  TempDir dir_;
  ScopedLog log_{dir_ / "update.log"};
  ActionContext context_{"/base", "/work", false, 0};
  Journal journal_;
  ActionList list_;
};

// Costs 1, 0, 2, 1 (total 4): Prepare and Finish go by count, Draft and Execute by cost.
TEST_F(ActionLoop, SuccessRunsEveryPhaseForwardsWithProgress) {
  Add("a", 1);
  Add("b", 0);
  Add("c", 2);
  Add("d", 1);
  EXPECT_EQ(RunActions(list_), OK);
  EXPECT_TRUE(gUpdateSucceeded);
  const std::vector<std::string> calls = {
      "Prepare a", "Prepare b", "Prepare c", "Prepare d", "Draft a",     "Draft b",     "Draft c",     "Draft d",
      "Execute a", "Execute b", "Execute c", "Execute d", "Finish(0) a", "Finish(0) b", "Finish(0) c", "Finish(0) d"};
  EXPECT_EQ(journal_.calls, calls);
  const std::vector<float> progress = {0,  5,     10,    15,    20, 36.25f, 36.25f, 68.75f,
                                       85, 87.5f, 87.5f, 92.5f, 95, 96.25f, 97.5f,  98.75f};
  EXPECT_EQ(journal_.progress, progress);
  EXPECT_EQ(Final(), 100.0f);
  EXPECT_EQ(log_text().find("###"), std::string::npos);
}

TEST_F(ActionLoop, FailedPrepareEndsAtOnceWithoutFinish) {
  Add("a", 1);
  RecordingAction* b = Add("b", 1);
  b->fail_in = "Prepare";
  b->fail_code = READ_ERROR;
  Add("c", 1);
  EXPECT_EQ(RunActions(list_), READ_ERROR);
  EXPECT_FALSE(gUpdateSucceeded);
  EXPECT_EQ(journal_.calls, (std::vector<std::string>{"Prepare a", "Prepare b"}));
  EXPECT_FLOAT_EQ(Final(), 20.0f / 3.0f);
  EXPECT_EQ(log_text().find("###"), std::string::npos);
}

TEST_F(ActionLoop, FailedDraftFinishesBackwardsWithTheCode) {
  RunFailing(
      "Draft", "### draft failed",
      {"Prepare a", "Prepare b", "Prepare c", "Draft a", "Draft b", "Finish(41) c", "Finish(41) b", "Finish(41) a"});
}

TEST_F(ActionLoop, FailedExecuteFinishesBackwardsWithTheCode) {
  RunFailing("Execute", "### execution failed",
             {"Prepare a", "Prepare b", "Prepare c", "Draft a", "Draft b", "Draft c", "Execute a", "Execute b",
              "Finish(41) c", "Finish(41) b", "Finish(41) a"});
}

TEST_F(ActionLoop, ProgressInSinglePrecision) {
  Add("a", 1);
  Add("b", 1);
  Add("c", 1);
  EXPECT_EQ(RunActions(list_), OK);
  ASSERT_EQ(journal_.progress.size(), 12u);
  // 1/3 and 2/3 of a phase computed in floats; in doubles rounded at the end the first
  // would be 6.666666507720947 and the fourth 63.33333206176758.
  EXPECT_EQ(journal_.progress[1], 6.6666669845581055f);
  EXPECT_EQ(journal_.progress[2], 13.333333969116211f);
  EXPECT_EQ(journal_.progress[4], 41.66666793823242f);
  EXPECT_EQ(journal_.progress[5], 63.333335876464844f);
  EXPECT_EQ(journal_.progress[10], 96.66666412353516f);
}

// Removals of files that are already gone cost nothing: the phase is done, not 0/0.
TEST_F(ActionLoop, PhasesWithoutCostAreDoneNotNan) {
  Add("a", 0);
  Add("b", 0);
  EXPECT_EQ(RunActions(list_), OK);
  for (float p : journal_.progress) EXPECT_FALSE(std::isnan(p));
  EXPECT_EQ(journal_.progress[4], 85.0f);  // after both drafts
  EXPECT_EQ(journal_.progress[6], 95.0f);  // after both executes
  EXPECT_EQ(Final(), 100.0f);
}

TEST_F(ActionLoop, EmptyListIsNoActions) {
  EXPECT_EQ(RunActions(list_), NO_ACTIONS_ERROR);
  EXPECT_FALSE(gUpdateSucceeded);
  EXPECT_NE(log_text().find(": empty action list\n"), std::string::npos);
}

}  // namespace
