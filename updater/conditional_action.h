#pragma once
// The conditional forms of an action: "add-if" and "patch-if" run only when a test file
// exists, "add-if-not" only when it does not. Their lines carry the double-quoted test
// path first, then the arguments of the plain form. Prepare decides; an action that does
// not run keeps its cost of 1 and its Draft, Execute and Finish do nothing.
#include <optional>
#include <string>

#include "updater/action.h"
#include "updater/file_ops.h"

template <typename Base, bool kRunsWhenTestExists>
class ConditionalAction : public Base {
 public:
  using Base::Base;

  UpdaterError Parse(char* arguments) override {
    std::string test;
    char* rest = nullptr;
    if (this->ParseTestPath(arguments, &test, &rest) != OK) return PARSE_ERROR;
    test_path = std::move(test);
    return Base::Parse(rest) == OK ? OK : PARSE_ERROR;
  }
  UpdaterError Prepare() override {
    if (!test_path || path_exists(test_path->c_str()) != kRunsWhenTestExists) {
      test_path.reset();
      return OK;
    }
    return Base::Prepare();
  }
  UpdaterError Draft() override { return test_path ? Base::Draft() : OK; }
  UpdaterError Execute() override { return test_path ? Base::Execute() : OK; }
  void Finish(UpdaterError status) override {
    if (test_path) Base::Finish(status);
  }

  // The full path of the test file; none once the action decided not to run.
  std::optional<std::string> test_path;
};
