// Fails each system call of a plugin_verify --record run's record update in turn, through the
// fault_inject library loaded with LD_PRELOAD: whichever call fails, the record is the old one
// or the new one, never a torn file or a leftover temporary, and a run that did not record the
// package says so and does not report it verified.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

namespace fs = std::filesystem;

// The sanitizer runtime wants to come first; the library hands every call on to it.
constexpr const char* kSanitizerOrder = "ASAN_OPTIONS=verify_asan_link_order=0";

// The public key of kTestKey.
constexpr const char* kPublicKey = "ho9ie8OoOFWkXfmlhnc3xasBxtLnk68NhzL5hy+9dRQ=";

class RecordFaultSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, ::chmod(scratch_.path().c_str(), 0700));
    for (const char* version : {"1.4.0", "1.5.0"}) {
      const std::string dir = std::string("p") + version;
      make_plugin(scratch_.path() / dir,
                  "[package]\nname = \"hello\"\nversion = \"" + std::string(version) + "\"\n",
                  std::string_view("\0asm\x01\0\0\0", 8));
      const ToolResult signed_ =
          run_tool({.args = {dir, dir + ".zip"}, .key = kTestKey, .cwd = scratch_.path()});
      ASSERT_EQ(signed_.status, 0) << signed_.err;
    }
    ASSERT_EQ(verify({}, "p1.4.0.zip").status, 0);
    old_ = read_file(scratch_.path() / "record");
    ASSERT_EQ(verify({}, "p1.5.0.zip").status, 0);
    new_ = read_file(scratch_.path() / "record");
    ASSERT_NE(old_, new_);
  }

  ToolResult verify(std::vector<std::string> env, const std::string& package) {
    return run_tool({.args = {"-P", kPublicKey, "--record", "record", package},
                     .cwd = scratch_.path(),
                     .argv0 = "plugin_verify",
                     .extra_env = std::move(env),
                     .alarm_seconds = 60,
                     .binary = kPluginVerifyBinary});
  }

  // The record as it was before the run: `before`, or none.
  void reset(const std::optional<std::string>& before) {
    fs::remove(scratch_.path() / "record");
    if (before) write_file(scratch_.path() / "record", *before);
  }

  // Runs the update once with its calls traced; the trace's path.
  fs::path traced_update() {
    const fs::path trace = scratch_.path() / "trace";
    const ToolResult traced = verify({"LD_PRELOAD=" FAULT_INJECT_LIBRARY, kSanitizerOrder,
                                      "FAULT_PLACING=1", "FAULT_TRACE=" + trace.string()},
                                     "p1.5.0.zip");
    EXPECT_EQ(traced.status, 0) << traced.err;
    return trace;
  }

  // The numbers of the calls on the record, its lock, its temporary file and its directory:
  // from the lock's open to the last call before the result line.
  std::vector<int> record_calls() {
    const fs::path trace = traced_update();
    std::ifstream in(trace);
    std::vector<int> calls;
    int number = 0;
    std::string function, target;
    bool started = false;
    while (in >> number >> function >> target) {
      started |= function == "open" && target == "record.lock";
      if (target == "fd:1") break;
      if (started) calls.push_back(number);
    }
    fs::remove(trace);
    return calls;
  }

  // The number of the run's first call of `function`, 0 when there is none.
  int first_call(const std::string& function) {
    const fs::path trace = traced_update();
    std::ifstream in(trace);
    int number = 0, found = 0;
    std::string name, target;
    while (found == 0 && in >> number >> name >> target)
      if (name == function) found = number;
    fs::remove(trace);
    return found;
  }

  ScratchDir scratch_;
  std::string old_, new_;
};

// A lock that cannot be had refuses the package and leaves the record, rather than updating it
// unlocked or trying for ever; an interrupted wait for it is only taken up again.
TEST_F(RecordFaultSweep, ALockThatFailsRefusesAndAnInterruptedOneIsWaitedFor) {
  reset(old_);
  const int lock = first_call("flock");
  ASSERT_NE(lock, 0);
  reset(old_);
  const ToolResult failed =
      verify({"LD_PRELOAD=" FAULT_INJECT_LIBRARY, kSanitizerOrder, "FAULT_PLACING=1",
              "FAULT_AT=" + std::to_string(lock), "FAULT_MODE=errno:5"},
             "p1.5.0.zip");
  EXPECT_EQ(failed.status, 3);
  EXPECT_EQ(failed.err,
            "plugin_verify: p1.5.0.zip: version record record: failed to lock "
            "record.lock: Input/output error (os error 5)\n");
  EXPECT_EQ(read_file(scratch_.path() / "record"), old_);
  reset(old_);
  const ToolResult interrupted =
      verify({"LD_PRELOAD=" FAULT_INJECT_LIBRARY, kSanitizerOrder, "FAULT_PLACING=1",
              "FAULT_AT=" + std::to_string(lock), "FAULT_MODE=eintr"},
             "p1.5.0.zip");
  EXPECT_EQ(interrupted.status, 0) << interrupted.err;
  EXPECT_EQ(read_file(scratch_.path() / "record"), new_);
}

TEST_F(RecordFaultSweep, EveryFailedCallLeavesTheOldRecordOrTheNewAndIsReported) {
  for (const std::optional<std::string>& before :
       {std::optional<std::string>(old_), std::optional<std::string>()}) {
    reset(before);
    const std::vector<int> calls = record_calls();
    ASSERT_GE(calls.size(), 10u);  // lock, read, temporary file, rename, directory flush
    int kept = 0, replaced = 0;
    for (const int n : calls) {
      SCOPED_TRACE("call " + std::to_string(n) + (before ? " with a record" : " without one"));
      reset(before);
      const ToolResult r =
          verify({"LD_PRELOAD=" FAULT_INJECT_LIBRARY, kSanitizerOrder, "FAULT_PLACING=1",
                  "FAULT_AT=" + std::to_string(n), "FAULT_MODE=errno:5"},
                 "p1.5.0.zip");
      const bool exists = fs::exists(scratch_.path() / "record");
      const std::string now = exists ? read_file(scratch_.path() / "record") : "";
      const bool is_new = exists && now == new_;
      const bool is_old = before ? exists && now == *before : !exists;
      EXPECT_TRUE(is_new || is_old) << now;
      if (r.status == 0) {
        EXPECT_TRUE(is_new) << "verified, but not recorded";
      } else {
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_NE(r.err.find(": version record record: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Input/output error"), std::string::npos) << r.err;
      }
      kept += is_old && r.status != 0;
      replaced += is_new;
      for (const std::string& name : names_in(scratch_.path()))
        EXPECT_FALSE(name.starts_with(".record")) << "left behind: " << name;
    }
    EXPECT_GT(kept, 0);
    EXPECT_GT(replaced, 0);
  }
}

}  // namespace
}  // namespace plugin_sign::testing
