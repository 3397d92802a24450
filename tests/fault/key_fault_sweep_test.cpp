// Fails each I/O call of `plugin_key generate` in turn, through the fault_inject library, and
// checks that a failed run leaves neither key file nor any temporary file behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

namespace fs = std::filesystem;

struct Call {
  std::string function;
  std::string target;
};

std::vector<Call> read_trace(const fs::path& path) {
  std::ifstream in(path);
  std::vector<Call> calls;
  std::size_t number = 0;
  std::string function, target;
  while (in >> number >> function >> target) calls.push_back(Call{function, target});
  return calls;
}

struct KeyRun {
  ToolResult result;
  std::vector<std::string> names;  // what the directory holds afterwards
};

class KeyFaultSweep : public ::testing::Test {
 protected:
  static KeyRun generate(std::vector<std::string> env) {
    ScratchDir dir;
    env.push_back("LD_PRELOAD=" FAULT_INJECT_LIBRARY);
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    env.push_back("FAULT_ALARM=60");
    env.push_back("FAULT_PLACING=1");
    KeyRun run{run_tool(ToolRun{.args = {"generate", "k"},
                                .cwd = dir.path(),
                                .argv0 = "plugin_key",
                                .extra_env = std::move(env),
                                .binary = kPluginKeyBinary}),
               {}};
    run.names = names_in(dir.path());
    return run;
  }

  static std::vector<Call> trace_of(std::vector<std::string> env) {
    ScratchDir trace_dir;
    const fs::path trace = trace_dir.path() / "trace";
    env.push_back("FAULT_TRACE=" + trace.string());
    const KeyRun reference = generate(std::move(env));
    EXPECT_EQ(0, reference.result.status) << reference.result.err;
    EXPECT_EQ((std::vector<std::string>{"k", "k.pub"}), reference.names);
    return read_trace(trace);
  }

  // Fails each call but those in `kept` in turn, with `kept` failed as well, and checks the
  // outcome: nothing left and exit 1, except where the failure does not touch the files.
  static void sweep(const std::vector<Call>& calls, const std::vector<std::size_t>& kept,
                    int os_error, const std::string& error_text) {
    // The directory's descriptor, opened after the last file is in place, is only read, so
    // closing it cannot fail the run; standard output comes after the files are in place.
    std::size_t last_placing = 0;
    for (std::size_t n = 1; n <= calls.size(); ++n)
      if (calls[n - 1].function.starts_with("rename") || calls[n - 1].function == "link")
        last_placing = n;
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      const Call& call = calls[n - 1];
      if (std::find(kept.begin(), kept.end(), n) != kept.end()) continue;
      SCOPED_TRACE("call " + std::to_string(n) + ": " + call.function + " " + call.target);
      // Only the kept failures before call n: after it the numbers no longer match the trace.
      std::string at;
      for (std::size_t k : kept)
        if (k < n) at += std::to_string(k) + ",";
      const KeyRun run = generate(
          {"FAULT_AT=" + at + std::to_string(n), "FAULT_MODE=errno:" + std::to_string(os_error)});
      if (call.target == "fd:1") {
        EXPECT_EQ(1, run.result.status);
        EXPECT_EQ("plugin_key: failed to write to standard output\n", run.result.err);
        EXPECT_EQ((std::vector<std::string>{"k", "k.pub"}), run.names);
      } else if (n > last_placing && call.function == "close") {
        EXPECT_EQ(0, run.result.status) << run.result.err;
        EXPECT_EQ((std::vector<std::string>{"k", "k.pub"}), run.names);
      } else {
        EXPECT_EQ(1, run.result.status);
        EXPECT_EQ("", run.result.out);
        EXPECT_TRUE(run.result.err.starts_with("plugin_key: failed to write k")) << run.result.err;
        EXPECT_TRUE(run.result.err.ends_with(": " + error_text + "\n")) << run.result.err;
        EXPECT_EQ(std::vector<std::string>{}, run.names);
      }
    }
  }
};

TEST_F(KeyFaultSweep, EachFailedCallLeavesNoFile) {
  const std::vector<Call> calls = trace_of({});
  // The sweep must meet every kind of call that can lose a file.
  for (const char* function : {"open", "write", "fsync", "linkat", "close", "renameat2"}) {
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const Call& c) {
      return c.function == function;
    })) << function;
  }
  sweep(calls, {}, 5, "Input/output error (os error 5)");
}

// Without unnamed files (an old kernel, or a file system without them) the files are written
// under hidden names, and a failure must remove those too.
TEST_F(KeyFaultSweep, WithoutUnnamedFilesEachFailedCallLeavesNoFile) {
  constexpr int kNotSupported = 95;
  const std::vector<Call> first = trace_of({"FAULT_AT=1", "FAULT_MODE=errno:95"});
  ASSERT_GE(first.size(), 2u);
  ASSERT_EQ("open", first[0].function);
  // The second file's unnamed open is the second open of the directory.
  std::size_t second_open = 0;
  for (std::size_t n = 2; n <= first.size() && second_open == 0; ++n)
    if (first[n - 1].function == "open" && first[n - 1].target == ".") second_open = n;
  ASSERT_NE(0u, second_open);
  const std::string at = "FAULT_AT=1," + std::to_string(second_open);
  const std::vector<Call> calls = trace_of({at, "FAULT_MODE=errno:95"});
  EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const Call& c) {
    return c.function == "open" && c.target.starts_with(".k.pub.");
  }));
  sweep(calls, {1, second_open}, kNotSupported, "Operation not supported (os error 95)");
}

// Without unnamed files the secret is first written under a hidden name beside it. With the
// random source fixed that name is known in advance: whatever was planted there, a link to
// another file or a file of its own, is neither followed nor reused, and stays as it was.
TEST(KeyFallbackTemporary, RefusesWhatIsPlantedAtItsName) {
  const std::string planted = ".k.000000000000.tmp";
  const std::string kept = "written by someone else\n";
  for (const bool as_link : {true, false}) {
    SCOPED_TRACE(as_link ? "symbolic link" : "existing file");
    ScratchDir dir;
    if (as_link) {
      write_file(dir.path() / "victim", kept);
      fs::create_symlink("victim", dir.path() / planted);
    } else {
      write_file(dir.path() / planted, kept);
    }
    const ToolResult result = run_tool(ToolRun{
        .args = {"generate", "k"},
        .cwd = dir.path(),
        .argv0 = "plugin_key",
        .extra_env = {"LD_PRELOAD=" FAULT_INJECT_LIBRARY, "ASAN_OPTIONS=verify_asan_link_order=0",
                      "FAULT_ALARM=60", "FAULT_AT=1", "FAULT_MODE=errno:95", "FAULT_RANDOM=0"},
        .binary = kPluginKeyBinary});
    EXPECT_EQ(1, result.status);
    // Every name tried is taken; what the message says of that is not the point here.
    EXPECT_TRUE(result.err.starts_with("plugin_key: ")) << result.err;
    EXPECT_EQ("", result.out);
    if (as_link) {
      EXPECT_EQ((std::vector<std::string>{planted, "victim"}), names_in(dir.path()));
      EXPECT_EQ(kept, read_file(dir.path() / "victim"));
      EXPECT_TRUE(fs::is_symlink(dir.path() / planted));
    } else {
      EXPECT_EQ(std::vector<std::string>{planted}, names_in(dir.path()));
      EXPECT_EQ(kept, read_file(dir.path() / planted));
    }
  }
}

// Where renaming cannot refuse to replace, a hard link does it instead.
TEST_F(KeyFaultSweep, WithoutNoReplaceRenameALinkPutsTheFilesInPlace) {
  const KeyRun run = generate({"FAULT_EVERY=renameat2", "FAULT_MODE=errno:22"});
  EXPECT_EQ(0, run.result.status) << run.result.err;
  EXPECT_EQ((std::vector<std::string>{"k", "k.pub"}), run.names);
}

}  // namespace
}  // namespace plugin_sign::testing
