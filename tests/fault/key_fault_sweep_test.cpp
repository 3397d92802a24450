// Fails each I/O call of `plugin_key generate` in turn, through the fault_inject library, and
// checks that a failed run leaves the directory as it found it: no key file and no temporary
// file, or for `generate --force` the old pair, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
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

// A pair of key files that `generate --force` replaces; any bytes do, since they are not read.
const std::string kOldSecret = "old secret key\n";
const std::string kOldPublic = "old public key\n";

struct KeyRun {
  ToolResult result;
  std::vector<std::string> names;  // what the directory holds afterwards
  std::string secret, public_key;  // the key files' contents afterwards, where they exist
  std::string kept_secret;         // the content of the one other file, where there is one
};

// What `generate` finds: no files, or an old pair that `--force` replaces.
enum class Before { kNothing, kOldPair };

class KeyFaultSweep : public ::testing::Test {
 protected:
  static KeyRun generate(std::vector<std::string> env, Before before = Before::kNothing) {
    ScratchDir dir;
    std::vector<std::string> args = {"generate", "k"};
    if (before == Before::kOldPair) {
      write_file(dir.path() / "k", kOldSecret);
      write_file(dir.path() / "k.pub", kOldPublic);
      args = {"generate", "--force", "k"};
    }
    env.push_back("LD_PRELOAD=" FAULT_INJECT_LIBRARY);
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    env.push_back("FAULT_ALARM=60");
    env.push_back("FAULT_PLACING=1");
    KeyRun run{run_tool(ToolRun{.args = std::move(args),
                                .cwd = dir.path(),
                                .argv0 = "plugin_key",
                                .extra_env = std::move(env),
                                .binary = kPluginKeyBinary}),
               {},
               {},
               {},
               {}};
    run.names = names_in(dir.path());
    if (fs::is_regular_file(dir.path() / "k")) run.secret = read_file(dir.path() / "k");
    if (fs::is_regular_file(dir.path() / "k.pub")) run.public_key = read_file(dir.path() / "k.pub");
    for (const std::string& name : run.names)
      if (name != "k" && name != "k.pub") run.kept_secret = read_file(dir.path() / name);
    return run;
  }

  static std::vector<Call> trace_of(std::vector<std::string> env,
                                    Before before = Before::kNothing) {
    ScratchDir trace_dir;
    const fs::path trace = trace_dir.path() / "trace";
    env.push_back("FAULT_TRACE=" + trace.string());
    const KeyRun reference = generate(std::move(env), before);
    EXPECT_EQ(0, reference.result.status) << reference.result.err;
    expect_new_pair(reference);
    return read_trace(trace);
  }

  static void expect_new_pair(const KeyRun& run) {
    EXPECT_EQ((std::vector<std::string>{"k", "k.pub"}), run.names);
    EXPECT_EQ(45u, run.secret.size());
    // The public key file: a comment line naming the key ID, then the key.
    EXPECT_TRUE(run.public_key.starts_with("# plugin_sign public key, key ID ")) << run.public_key;
    EXPECT_TRUE(run.public_key.ends_with("=\n")) << run.public_key;
  }

  // Exactly what was there before the run: nothing, or the old pair byte for byte.
  static void expect_as_before(const KeyRun& run, Before before) {
    if (before == Before::kNothing) {
      EXPECT_EQ(std::vector<std::string>{}, run.names);
      return;
    }
    EXPECT_EQ((std::vector<std::string>{"k", "k.pub"}), run.names);
    EXPECT_EQ(kOldSecret, run.secret);
    EXPECT_EQ(kOldPublic, run.public_key);
  }

  // Fails each call but those in `kept` in turn, with `kept` failed as well, and checks the
  // outcome: exit 1 and the directory as it was, except where the failure does not touch the
  // files.
  static void sweep(const std::vector<Call>& calls, const std::vector<std::size_t>& kept,
                    std::vector<std::string> env, int os_error, const std::string& error_text,
                    Before before = Before::kNothing) {
    // The directory's descriptor, opened after the last file is in place, is only read, so
    // closing it cannot fail the run (nor can flushing it with EINVAL); standard output comes
    // after the files are in place.
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
      std::vector<std::string> run_env = env;
      run_env.push_back("FAULT_AT=" + at + std::to_string(n));
      run_env.push_back("FAULT_MODE=errno:" + std::to_string(os_error));
      const KeyRun run = generate(std::move(run_env), before);
      if (call.target == "fd:1") {
        EXPECT_EQ(1, run.result.status);
        EXPECT_EQ("plugin_key: failed to write to standard output\n", run.result.err);
        expect_new_pair(run);
      } else if (n > last_placing &&
                 (call.function == "close" || (call.function == "fsync" && os_error == EINVAL))) {
        // EINVAL from the directory's fsync says that its file system cannot flush directories.
        EXPECT_EQ(0, run.result.status) << run.result.err;
        expect_new_pair(run);
      } else {
        EXPECT_EQ(1, run.result.status);
        EXPECT_EQ("", run.result.out);
        EXPECT_TRUE(run.result.err.starts_with("plugin_key: failed to write k")) << run.result.err;
        EXPECT_TRUE(run.result.err.ends_with(": " + error_text + "\n")) << run.result.err;
        expect_as_before(run, before);
      }
      if (before == Before::kOldPair && run.result.status == 0) {
        EXPECT_NE(kOldSecret, run.secret);
        EXPECT_NE(kOldPublic, run.public_key);
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
  sweep(calls, {}, {}, 5, "Input/output error (os error 5)");
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
  // Written under its hidden name, the file reaches the disk before it is put in place.
  EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const Call& c) {
    return c.function == "fsync" && c.target.starts_with(".k.pub.");
  }));
  sweep(calls, {1, second_open}, {}, kNotSupported, "Operation not supported (os error 95)");
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
    // Every name tried is taken, which is not "k already exists".
    EXPECT_EQ("plugin_key: failed to write k: no free temporary name beside it\n", result.err);
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

// generate --force over an existing pair is all or nothing: whichever call fails, the old
// secret key and its public key are both still there, byte for byte, and nothing else is.
TEST_F(KeyFaultSweep, EachFailedCallOfAForcedGenerateKeepsTheOldPair) {
  const std::vector<Call> calls = trace_of({}, Before::kOldPair);
  EXPECT_EQ(2, std::count_if(calls.begin(), calls.end(),
                             [](const Call& c) { return c.function == "renameat2"; }));
  sweep(calls, {}, {}, 5, "Input/output error (os error 5)", Before::kOldPair);
}

// A file system that cannot exchange two names: the old files are kept by a second link
// until both new ones are in place.
TEST_F(KeyFaultSweep, WithoutExchangeEachFailedCallOfAForcedGenerateKeepsTheOldPair) {
  const std::vector<std::string> env = {"FAULT_EVERY=renameat2"};
  std::vector<std::string> traced = env;
  traced.push_back("FAULT_MODE=errno:22");
  const std::vector<Call> calls = trace_of(traced, Before::kOldPair);
  for (const char* name : {"k", "k.pub"})
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const Call& c) {
      return c.function == "rename" && c.target == name;
    })) << name;
  std::vector<std::size_t> renameat2_calls;
  for (std::size_t n = 1; n <= calls.size(); ++n)
    if (calls[n - 1].function == "renameat2") renameat2_calls.push_back(n);
  sweep(calls, renameat2_calls, env, 22, "Invalid argument (os error 22)", Before::kOldPair);
}

// Without exchange, an old file that was gone when it was to be kept by a second link has
// nothing to put back: the new file then takes the name only where no file has it, so one that
// appeared there meanwhile (here: the link's ENOENT, while k is still there) is never replaced.
TEST_F(KeyFaultSweep, WithoutExchangeAFileThatCouldNotBeKeptIsNeverReplaced) {
  const std::vector<Call> calls =
      trace_of({"FAULT_EVERY=renameat2", "FAULT_MODE=errno:22"}, Before::kOldPair);
  const auto exchange = std::find_if(calls.begin(), calls.end(), [](const Call& c) {
    return c.function == "renameat2" && c.target == "k";
  });
  ASSERT_NE(exchange, calls.end());
  ASSERT_EQ("linkat", (exchange + 1)->function);
  const std::size_t keeping_link = static_cast<std::size_t>(exchange - calls.begin()) + 2;
  const KeyRun run = generate({"FAULT_EVERY=renameat2", "FAULT_MODE=errno:22",
                               "FAULT_AT=" + std::to_string(keeping_link) + ":2"},
                              Before::kOldPair);
  EXPECT_EQ(1, run.result.status);
  EXPECT_EQ("plugin_key: failed to write k: File exists (os error 17)\n", run.result.err);
  expect_as_before(run, Before::kOldPair);
}

// Where getrandom cannot be had, the temporary names come from the process ID and the
// attempt, so a name taken by someone else is not tried again and again.
TEST(KeyFallbackTemporary, WithoutRandomNumbersTheSameNameIsNotTriedAgain) {
  ScratchDir dir;
  const std::string planted = ".k.000000000000.tmp";
  write_file(dir.path() / planted, "written by someone else\n");
  const auto run = [&](std::vector<std::string> env) {
    env.insert(env.end(),
               {"LD_PRELOAD=" FAULT_INJECT_LIBRARY, "ASAN_OPTIONS=verify_asan_link_order=0",
                "FAULT_ALARM=60", "FAULT_RANDOM=none"});
    return run_tool(ToolRun{.args = {"generate", "k"},
                            .cwd = dir.path(),
                            .argv0 = "plugin_key",
                            .extra_env = std::move(env),
                            .binary = kPluginKeyBinary});
  };
  const fs::path trace = dir.path() / "trace";
  ASSERT_EQ(0, run({"FAULT_TRACE=" + trace.string()}).status);
  const std::vector<Call> calls = read_trace(trace);
  for (const char* name : {"trace", "k", "k.pub"}) fs::remove(dir.path() / name);
  // Now without unnamed files, so that the secret goes under a temporary name first.
  const auto unnamed = std::find_if(calls.begin(), calls.end(), [](const Call& c) {
    return c.function == "open" && c.target == ".";
  });
  ASSERT_NE(unnamed, calls.end());
  const ToolResult result =
      run({"FAULT_AT=" + std::to_string(unnamed - calls.begin() + 1), "FAULT_MODE=errno:95"});
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_EQ((std::vector<std::string>{planted, "k", "k.pub"}), names_in(dir.path()));
  EXPECT_EQ("written by someone else\n", read_file(dir.path() / planted));
}

// When putting the old secret key back fails as well, it is not deleted: the message says
// where it is.
TEST_F(KeyFaultSweep, AnOldKeyThatCannotBePutBackIsKeptAndNamed) {
  const std::vector<Call> calls = trace_of({}, Before::kOldPair);
  std::size_t second_exchange = 0;
  for (std::size_t n = 1; n <= calls.size(); ++n)
    if (calls[n - 1].function == "renameat2") second_exchange = n;
  ASSERT_NE(0u, second_exchange);
  // The call after the failed exchange is the rename that puts the old secret key back.
  const KeyRun run = generate(
      {"FAULT_AT=" + std::to_string(second_exchange) + "," + std::to_string(second_exchange + 1),
       "FAULT_MODE=errno:5"},
      Before::kOldPair);
  EXPECT_EQ(1, run.result.status);
  ASSERT_EQ(3u, run.names.size());
  const std::string& kept = run.names[0];
  EXPECT_TRUE(kept.starts_with(".k.") && kept.ends_with(".tmp")) << kept;
  EXPECT_EQ(
      "plugin_key: failed to write k.pub: Input/output error (os error 5); the previous k "
      "could not be put back and is kept as " +
          kept + "\n",
      run.result.err);
  EXPECT_EQ(kOldSecret, run.kept_secret);
  EXPECT_EQ(kOldPublic, run.public_key);
}

// Killed between its two exchanges, generate --force leaves the new secret key beside the old
// public key, and the old secret key under a hidden name. The next generate finds that and
// says what to do instead of replacing the pair again.
TEST_F(KeyFaultSweep, AForcedGenerateKilledBetweenItsExchangesIsFoundByTheNextRun) {
  const std::vector<Call> calls = trace_of({}, Before::kOldPair);
  std::size_t second_exchange = 0;
  for (std::size_t n = 1; n <= calls.size(); ++n)
    if (calls[n - 1].function == "renameat2") second_exchange = n;
  ASSERT_NE(0u, second_exchange);
  ScratchDir dir;
  write_file(dir.path() / "k", kOldSecret);
  write_file(dir.path() / "k.pub", kOldPublic);
  const auto run = [&](std::vector<std::string> env) {
    env.push_back("LD_PRELOAD=" FAULT_INJECT_LIBRARY);
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    env.push_back("FAULT_PLACING=1");
    return run_tool(ToolRun{.args = {"generate", "--force", "k"},
                            .cwd = dir.path(),
                            .argv0 = "plugin_key",
                            .extra_env = std::move(env),
                            .binary = kPluginKeyBinary});
  };
  const ToolResult killed = run({"FAULT_AT=" + std::to_string(second_exchange), "FAULT_MODE=kill"});
  EXPECT_EQ(128 + 9, killed.status);
  const std::vector<std::string> names = names_in(dir.path());
  ASSERT_EQ(4u, names.size());
  EXPECT_TRUE(names[0].starts_with(".k.") && !names[0].starts_with(".k.pub.")) << names[0];
  EXPECT_TRUE(names[1].starts_with(".k.pub.")) << names[1];
  EXPECT_EQ((std::vector<std::string>{"k", "k.pub"}), std::vector(names.begin() + 2, names.end()));
  EXPECT_EQ(kOldSecret, read_file(dir.path() / names[0]));
  EXPECT_EQ(kOldPublic, read_file(dir.path() / "k.pub"));
  EXPECT_NE(kOldSecret, read_file(dir.path() / "k"));

  const ToolResult next = run_tool(ToolRun{.args = {"generate", "--force", "k"},
                                           .cwd = dir.path(),
                                           .argv0 = "plugin_key",
                                           .binary = kPluginKeyBinary});
  EXPECT_EQ(1, next.status);
  EXPECT_EQ("plugin_key: found " + names[0] + ", " + names[1] +
                " beside k: an earlier generate was interrupted, and k and k.pub may not be a "
                "pair; `plugin_key public FILE` shows the public key of each secret key file: "
                "keep the pair you want as k and k.pub, delete the other files, then run "
                "generate again\n",
            next.err);
  EXPECT_EQ(names, names_in(dir.path()));
  EXPECT_EQ(kOldSecret, read_file(dir.path() / names[0]));
  // Once the hidden files are gone, generate runs again.
  fs::remove(dir.path() / names[0]);
  fs::remove(dir.path() / names[1]);
  const ToolResult again = run_tool(ToolRun{.args = {"generate", "--force", "k"},
                                            .cwd = dir.path(),
                                            .argv0 = "plugin_key",
                                            .binary = kPluginKeyBinary});
  EXPECT_EQ(0, again.status) << again.err;
}

}  // namespace
}  // namespace plugin_sign::testing
