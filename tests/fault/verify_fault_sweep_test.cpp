// Fails each I/O call of a `plugin_verify -x` run in turn, through the fault_inject library
// loaded with LD_PRELOAD: a run that cannot read its package or write its files ends with
// status 3 and leaves no file behind, whichever call failed.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "archive/package_builder.hpp"
#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPackage = "package.zip";
constexpr const char* kOutDir = "out";
constexpr const char* kEioText = "Input/output error (os error 5)";
constexpr const char* kEnospcText = "No space left on device (os error 28)";
// The public key of kTestKey.
constexpr const char* kPublicKey = "ho9ie8OoOFWkXfmlhnc3xasBxtLnk68NhzL5hy+9dRQ=";
// Large enough that reading the package takes more than one read.
constexpr std::size_t kWasmSize = 600 * 1024;

// Where in the run a call belongs: reading the package, the library's allocations for the
// inflated entries, writing the files, the result line.
enum class Stage { kRead, kVerify, kExtract, kStdout, kOther };

struct Call {
  std::string function;
  std::string target;
  Stage stage = Stage::kOther;
  bool closes_a_written_file = false;
};

// The trace of a run: "N FUNCTION TARGET" per line. A close counts as closing a written file
// when the descriptor last opened on its target was written to.
std::vector<Call> read_trace(const fs::path& path) {
  std::ifstream in(path);
  std::vector<Call> calls;
  std::size_t number = 0;
  std::string function, target;
  bool written_since_open = false;
  Stage last_open = Stage::kOther;
  while (in >> number >> function >> target) {
    EXPECT_EQ(number, calls.size() + 1);
    Call call{.function = function, .target = target};
    if (function == "alloc") {
      call.stage = last_open;
    } else if (target == kPackage) {
      call.stage = Stage::kRead;
    } else if (target == kOutDir || target.starts_with(std::string(kOutDir) + "/")) {
      call.stage = Stage::kExtract;
    } else if (target == "fd:1") {
      call.stage = Stage::kStdout;
    }
    if (function == "open") {
      last_open = call.stage;
      written_since_open = false;
    }
    // Allocations after the package is read are the verification's own.
    if (function == "close" && call.stage == Stage::kRead) last_open = Stage::kVerify;
    if (function == "write") written_since_open = true;
    call.closes_a_written_file = function == "close" && written_since_open;
    calls.push_back(call);
  }
  return calls;
}

struct Outcome {
  ToolResult result;
  bool out_dir_exists = false;
  std::vector<std::string> extracted;
};

// One `plugin_verify OPTIONS -x` run of `package` in a directory of its own under `scratch`,
// with the fault library loaded and `env` added; into an empty directory of the user's made
// before when `out_exists`. The options name the trusted keys: the test key by default.
Outcome run_verify(const fs::path& scratch, const std::string& package,
                   std::vector<std::string> env, bool out_exists = false,
                   std::vector<std::string> options = {"-P", kPublicKey}) {
  static int runs = 0;
  const fs::path dir = scratch / ("run" + std::to_string(++runs));
  fs::create_directories(dir);
  if (out_exists) {
    fs::create_directory(dir / kOutDir);
    fs::permissions(dir / kOutDir, fs::perms(0700));
  }
  write_file(dir / kPackage, package);
  env.push_back("LD_PRELOAD=" FAULT_INJECT_LIBRARY);
  env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
  env.push_back("FAULT_ALARM=60");
  options.insert(options.end(), {"-x", kOutDir, kPackage});
  Outcome outcome{.result = run_tool({.args = std::move(options),
                                      .cwd = dir,
                                      .argv0 = "plugin_verify",
                                      .extra_env = std::move(env),
                                      .binary = kPluginVerifyBinary}),
                  .out_dir_exists = fs::exists(dir / kOutDir),
                  .extracted = fs::is_directory(dir / kOutDir) ? names_in(dir / kOutDir)
                                                               : std::vector<std::string>{}};
  fs::remove_all(dir);
  return outcome;
}

// A plugin of `wasm` made in `dir` and signed with the test key: the package's bytes, none when
// signing failed.
std::string signed_package_of(const fs::path& dir, const std::string& wasm,
                              const std::string& toml = kSamplePluginToml) {
  make_plugin(dir / "plugin", toml, wasm);
  const ToolResult signed_package =
      run_tool({.args = {"plugin", kPackage}, .key = kTestKey, .cwd = dir});
  EXPECT_EQ(signed_package.status, 0) << signed_package.err;
  return signed_package.status == 0 ? read_file(dir / kPackage) : std::string();
}

class VerifyFaultSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = std::make_unique<ScratchDir>();
    std::mt19937 generator(11);
    std::string wasm(kWasmSize, '\0');
    for (char& c : wasm) c = static_cast<char>(generator());
    package_ = signed_package_of(scratch_->path(), wasm);
    ASSERT_FALSE(package_.empty());
    const fs::path trace = scratch_->path() / "trace";
    reference_ = run_with({"FAULT_TRACE=" + trace.string()});
    calls_ = read_trace(trace);
  }
  static void TearDownTestSuite() { scratch_.reset(); }

  static Outcome run_with(std::vector<std::string> env, bool out_exists = false) {
    env.push_back("FAULT_ALLOC_IN=ByteBuffer,read_plugin_file,map_storage");
    env.push_back("FAULT_PLACING=1");
    return run_verify(scratch_->path(), package_, std::move(env), out_exists);
  }

  static Outcome run_failing(std::size_t n, const std::string& mode) {
    return run_with({"FAULT_AT=" + std::to_string(n), "FAULT_MODE=" + mode});
  }

  static void expect_reference_success(const Outcome& got) {
    EXPECT_EQ(got.result.status, 0) << got.result.err;
    EXPECT_EQ(got.result.err, "");
    EXPECT_EQ(got.result.out, reference_.result.out);
    EXPECT_EQ(got.extracted, reference_.extracted);
  }

  static inline std::unique_ptr<ScratchDir> scratch_;
  static inline std::string package_;
  static inline Outcome reference_;
  static inline std::vector<Call> calls_;
};

std::size_t count(const std::vector<Call>& calls, Stage stage, const char* function) {
  return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [&](const Call& c) {
    return c.stage == stage && c.function == function;
  }));
}

TEST_F(VerifyFaultSweep, CountingRunReachesEveryStep) {
  ASSERT_EQ(reference_.result.status, 0) << reference_.result.err;
  EXPECT_EQ(reference_.result.out, "package.zip: verified demo 1.2.0, key 2905bd4e4d69cdc8\n");
  EXPECT_EQ(reference_.extracted,
            (std::vector<std::string>{"main.wasm", "plugin.toml", "signature.sig"}));
  EXPECT_EQ(count(calls_, Stage::kRead, "open"), 1u);
  EXPECT_GE(count(calls_, Stage::kRead, "read"), 2u);
  EXPECT_GE(count(calls_, Stage::kRead, "alloc"), 1u);
  EXPECT_GE(count(calls_, Stage::kVerify, "alloc"), 1u);
  // Each of the three files is written, flushed, closed and put in place, and the directory
  // is flushed.
  EXPECT_GE(count(calls_, Stage::kExtract, "open"), 4u);
  EXPECT_GE(count(calls_, Stage::kExtract, "write"), 3u);
  EXPECT_GE(count(calls_, Stage::kExtract, "fsync"), 4u);
  EXPECT_GE(count(calls_, Stage::kExtract, "linkat"), 3u);
  EXPECT_EQ(count(calls_, Stage::kExtract, "renameat2"), 3u);
  EXPECT_EQ(std::count_if(calls_.begin(), calls_.end(),
                          [](const Call& c) { return c.closes_a_written_file; }),
            3);
  EXPECT_EQ(count(calls_, Stage::kStdout, "write"), 1u);
}

// Every failed open, write, fsync, link, rename or close of the extraction, and every failed
// read or allocation, ends the run with status 3, one line naming the step, and no file at all.
TEST_F(VerifyFaultSweep, EachFailedCallLeavesNoFileAndExitsThree) {
  ASSERT_EQ(reference_.result.status, 0);
  int extraction_failures = 0;
  for (std::size_t n = 1; n <= calls_.size(); ++n) {
    const Call& call = calls_[n - 1];
    if (call.stage == Stage::kOther || call.function == "fstat") continue;
    SCOPED_TRACE("call " + std::to_string(n) + ": " + call.function + " " + call.target);
    // Closing what was only read (the package, the directory after flushing it) loses nothing.
    if (call.function == "close" && !call.closes_a_written_file) {
      expect_reference_success(run_failing(n, "errno:5"));
      continue;
    }
    const bool is_write = call.function == "write";
    const Outcome got = run_failing(n, is_write ? "errno:28" : "errno:5");
    EXPECT_EQ(got.result.status, 3) << got.result.err;
    const std::string error_text = call.function == "alloc" ? "out of memory"
                                   : is_write               ? kEnospcText
                                                            : kEioText;
    if (call.stage == Stage::kStdout) {
      // The files were complete before the line that reports them failed.
      EXPECT_EQ(got.result.err, "plugin_verify: failed to write a package's result\n");
      EXPECT_EQ(got.extracted, reference_.extracted);
      continue;
    }
    EXPECT_EQ(got.result.out, "");
    EXPECT_FALSE(got.out_dir_exists) << "left: " << ::testing::PrintToString(got.extracted);
    const std::string prefix = std::string("plugin_verify: ") + kPackage + ": ";
    if (call.stage == Stage::kRead) {
      EXPECT_EQ(got.result.err, prefix + "failed to read: " + error_text + "\n");
    } else if (call.stage == Stage::kVerify) {
      EXPECT_TRUE(got.result.err.starts_with(prefix)) << got.result.err;
      EXPECT_NE(got.result.err.find("out of memory"), std::string::npos) << got.result.err;
      EXPECT_EQ(std::count(got.result.err.begin(), got.result.err.end(), '\n'), 1);
    } else {
      ++extraction_failures;
      EXPECT_TRUE(got.result.err.starts_with(prefix + "failed to extract out/")) << got.result.err;
      EXPECT_TRUE(got.result.err.ends_with(": " + error_text + "\n")) << got.result.err;
    }
  }
  EXPECT_GE(extraction_failures, 10);
}

// The directory a failed extraction removes is only one it made: the user's own empty one
// stays.
TEST_F(VerifyFaultSweep, AFailedExtractionKeepsTheDirectoryThatWasThere) {
  ASSERT_EQ(reference_.result.status, 0);
  const auto open = std::find_if(calls_.begin(), calls_.end(), [](const Call& c) {
    return c.stage == Stage::kExtract && c.function == "open";
  });
  ASSERT_NE(open, calls_.end());
  const std::size_t n = static_cast<std::size_t>(open - calls_.begin()) + 1;
  const Outcome got = run_with({"FAULT_AT=" + std::to_string(n), "FAULT_MODE=errno:5"}, true);
  EXPECT_EQ(got.result.status, 3) << got.result.err;
  EXPECT_TRUE(got.result.err.ends_with(std::string(": ") + kEioText + "\n")) << got.result.err;
  EXPECT_TRUE(got.out_dir_exists);
  EXPECT_EQ(got.extracted, std::vector<std::string>{});
}

TEST_F(VerifyFaultSweep, InterruptedCallsAndShortWritesAreCompleted) {
  ASSERT_EQ(reference_.result.status, 0);
  for (std::size_t n = 1; n <= calls_.size(); ++n) {
    const Call& call = calls_[n - 1];
    if (call.function == "alloc") continue;
    SCOPED_TRACE("call " + std::to_string(n) + ": " + call.function + " " + call.target);
    expect_reference_success(run_failing(n, "eintr"));
    if (call.function == "write") expect_reference_success(run_failing(n, "short"));
  }
}

// A file that was written but could not be given its name fails with the naming's error, even
// when closing it fails as well, and nothing is left of it.
TEST_F(VerifyFaultSweep, AFileThatCannotBeNamedFailsWithTheNamingsError) {
  ASSERT_EQ(reference_.result.status, 0);
  const auto link = std::find_if(calls_.begin(), calls_.end(), [](const Call& c) {
    return c.stage == Stage::kExtract && c.function == "linkat";
  });
  ASSERT_NE(link, calls_.end());
  ASSERT_EQ("close", (link + 1)->function);
  const std::size_t n = static_cast<std::size_t>(link - calls_.begin()) + 1;
  const Outcome got =
      run_with({"FAULT_AT=" + std::to_string(n) + ":5," + std::to_string(n + 1) + ":28"});
  EXPECT_EQ(got.result.status, 3) << got.result.err;
  EXPECT_TRUE(got.result.err.ends_with(std::string(": ") + kEioText + "\n")) << got.result.err;
  EXPECT_FALSE(got.out_dir_exists) << "left: " << ::testing::PrintToString(got.extracted);
}

// The directory is flushed last, through a descriptor opened as a directory: when what its
// name holds was swapped for a plain file meanwhile, flushing that file instead would report
// files in place that are not.
TEST_F(VerifyFaultSweep, ADirectorySwappedForAFileBeforeItIsFlushedFails) {
  ASSERT_EQ(reference_.result.status, 0);
  const auto last_open = std::find_if(calls_.rbegin(), calls_.rend(), [](const Call& c) {
    return c.function == "open" && c.target == kOutDir;
  });
  ASSERT_NE(last_open, calls_.rend());
  const std::size_t n = static_cast<std::size_t>(calls_.rend() - last_open);
  const Outcome got = run_with({"FAULT_AT=" + std::to_string(n), "FAULT_MODE=swap"});
  EXPECT_EQ(got.result.status, 3) << got.result.err;
  EXPECT_EQ(got.result.out, "");
  EXPECT_TRUE(got.result.err.ends_with(": Not a directory (os error 20)\n")) << got.result.err;
}

// Every path a verdict trusts is looked up again and again: the key file and each directory
// above it, each directory above the version record, the directory extracted into. Whichever of
// those look-ups fails refuses the package with status 3 and writes nothing: a check that could
// not be made never passes. Only the look-ups that decide nothing (the package's own path,
// the files about to be written, the record before it is read) may fail and change nothing.
TEST(VerifyLookUpFaults, EachFailedLookUpOfATrustedPathRefuses) {
  ScratchDir scratch;
  ASSERT_EQ(0, ::chmod(scratch.path().c_str(), 0700));
  const std::string package = signed_package_of(scratch.path(), "\0asm\x01\0\0\0");
  ASSERT_FALSE(package.empty());
  const fs::path keys = scratch.path() / "keys";
  write_file(keys, std::string(kPublicKey) + "\n");
  fs::permissions(keys, fs::perms(0600));
  const auto run = [&](std::vector<std::string> env) {
    env.push_back("FAULT_STATS=1");
    return run_verify(scratch.path(), package, std::move(env), true,
                      {"-p", keys.string(), "--record", "record"});
  };
  const fs::path trace = scratch.path() / "trace";
  const Outcome reference = run({"FAULT_TRACE=" + trace.string()});
  ASSERT_EQ(reference.result.status, 0) << reference.result.err;
  const std::vector<Call> calls = read_trace(trace);
  int refused = 0;
  for (std::size_t n = 1; n <= calls.size(); ++n) {
    const Call& call = calls[n - 1];
    if (call.function != "stat" && call.function != "lstat") continue;
    SCOPED_TRACE("call " + std::to_string(n) + ": " + call.function + " " + call.target);
    const Outcome got = run({"FAULT_AT=" + std::to_string(n), "FAULT_MODE=errno:13"});
    if (call.target == kPackage || call.target == "record" ||
        call.target.starts_with(std::string(kOutDir) + "/")) {
      EXPECT_EQ(got.result.status, 0) << got.result.err;
      EXPECT_EQ(got.extracted, reference.extracted);
      continue;
    }
    ++refused;
    EXPECT_EQ(got.result.status, 3) << got.result.err;
    EXPECT_EQ(got.result.out, "");
    EXPECT_TRUE(got.result.err.starts_with("plugin_verify: ")) << got.result.err;
    EXPECT_TRUE(got.result.err.ends_with(": Permission denied (os error 13)\n")) << got.result.err;
    EXPECT_EQ(got.extracted, std::vector<std::string>{});
  }
  // The key file's real path, the directories above both names of it and above the record's
  // directory, and the directory extracted into.
  EXPECT_GE(refused, 6);
}

// Runs plugin_verify over a package once with the allocations of its buffers traced (it must
// end with `reference_status`), then once for each of those before extraction with that one
// failing; each failed run goes to `check`. Returns how many failed.
int each_failed_allocation(const fs::path& dir, const std::string& package, int reference_status,
                           const std::function<void(const Outcome&)>& check) {
  const std::string allocations = "FAULT_ALLOC_IN=ByteBuffer,read_plugin_file,map_storage";
  const fs::path trace = dir / "trace";
  const Outcome reference =
      run_verify(dir, package, {allocations, "FAULT_TRACE=" + trace.string()});
  EXPECT_EQ(reference.result.status, reference_status) << reference.result.err;
  const std::vector<Call> calls = read_trace(trace);
  int failures = 0;
  for (std::size_t n = 1; n <= calls.size(); ++n) {
    if (calls[n - 1].function != "alloc" || calls[n - 1].stage == Stage::kExtract) continue;
    SCOPED_TRACE("allocation " + std::to_string(n));
    check(run_verify(dir, package,
                     {allocations, "FAULT_AT=" + std::to_string(n), "FAULT_MODE=errno:12"}));
    ++failures;
  }
  return failures;
}

// A package whose entries compress so well that they are streamed into their digests and
// inflated again once the signature verified: an allocation that fails at any step, before the
// signature or after it, refuses the package as out of memory and writes nothing.
TEST(VerifyStreamedFaults, EachFailedAllocationIsOutOfMemory) {
  if (PLUGIN_SIGN_SANITIZED)
    GTEST_SKIP() << "under the sanitizers the fault library sees too few of these allocations";
  ScratchDir scratch;
  const std::string toml = std::string(kSamplePluginToml) + "# " + std::string(4096, 'x') + "\n";
  const std::string wasm = std::string("\0asm\x01\0\0\0", 8) + std::string(kWasmSize, '\0');
  const std::string package = signed_package_of(scratch.path(), wasm, toml);
  ASSERT_FALSE(package.empty());
  const int failures = each_failed_allocation(scratch.path(), package, 0, [](const Outcome& got) {
    EXPECT_EQ(got.result.status, 3) << got.result.err;
    EXPECT_EQ(got.result.out, "");
    EXPECT_TRUE(got.result.err.starts_with(std::string("plugin_verify: ") + kPackage + ": "))
        << got.result.err;
    EXPECT_NE(got.result.err.find("out of memory"), std::string::npos) << got.result.err;
    EXPECT_EQ(std::count(got.result.err.begin(), got.result.err.end(), '\n'), 1);
    EXPECT_FALSE(got.out_dir_exists);
  });
  EXPECT_GE(failures, 4);
}

// A signature.sig deflated so short (88 bytes in 5) that it is streamed into its digest and
// inflated again before its text is read: that second inflation out of memory refuses the
// package as well, never lets it through.
TEST(VerifyStreamedFaults, AStreamedSignatureOutOfMemoryIsRefused) {
  if (PLUGIN_SIGN_SANITIZED)
    GTEST_SKIP() << "under the sanitizers the fault library sees too few of these allocations";
  ScratchDir scratch;
  const auto bytes = [](std::string_view text) { return std::as_bytes(std::span(text)); };
  const std::string text(88, 'A');
  std::vector<RawEntry> entries = {deflated_entry("plugin.toml", bytes(kSamplePluginToml)),
                                   deflated_entry("main.wasm", bytes("\0asm\x01\0\0\0")),
                                   deflated_entry("signature.sig", bytes(text))};
  entries[2].data = {std::byte{0x73}, std::byte{0xa4}, std::byte{0x11}, std::byte{0}, std::byte{0}};
  const std::vector<std::byte> archive = build_archive(entries);
  const std::string package(reinterpret_cast<const char*>(archive.data()), archive.size());
  const int failures = each_failed_allocation(scratch.path(), package, 2, [](const Outcome& got) {
    EXPECT_EQ(got.result.status, 3) << got.result.err;
    EXPECT_NE(got.result.err.find("out of memory"), std::string::npos) << got.result.err;
    EXPECT_FALSE(got.out_dir_exists);
  });
  EXPECT_GE(failures, 2);
}

// A module large enough to be hashed on a thread of its own while it is inflated, when the run
// may use a second CPU: a thread that cannot be started leaves the run on one thread with the
// same result, and the pipelined inflater out of memory refuses the package. (The hashing
// thread itself allocates nothing; a sink that throws there is the reader's test.)
class VerifyThreadFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = std::make_unique<ScratchDir>();
    // 16 symbols a byte: about 2 bytes for each compressed one, so inflated whole.
    std::mt19937 generator(12);
    std::string wasm(std::size_t{3} << 20, '\0');
    for (char& c : wasm) c = static_cast<char>('a' + generator() % 16);
    package_ = signed_package_of(scratch_->path(), wasm);
    ASSERT_FALSE(package_.empty());
    const fs::path trace = scratch_->path() / "trace";
    reference_ = run_with({"FAULT_TRACE=" + trace.string()});
    calls_ = read_trace(trace);
  }
  static void TearDownTestSuite() { scratch_.reset(); }

  // Only thread starts and the pipelined inflater's own allocations are numbered, with the I/O.
  static Outcome run_with(std::vector<std::string> env) {
    env.push_back("FAULT_THREADS=1");
    env.push_back("FAULT_ALLOC_IN=inflate_beside_take");
    return run_verify(scratch_->path(), package_, std::move(env));
  }

  // The number of the first call of `function`, 0 when there is none.
  static std::size_t first(const char* function) {
    for (std::size_t n = 1; n <= calls_.size(); ++n)
      if (calls_[n - 1].function == function) return n;
    return 0;
  }

  static bool has_second_cpu() {
    cpu_set_t usable;
    CPU_ZERO(&usable);
    return ::sched_getaffinity(0, sizeof usable, &usable) == 0 && CPU_COUNT(&usable) > 1;
  }

  static inline std::unique_ptr<ScratchDir> scratch_;
  static inline std::string package_;
  static inline Outcome reference_;
  static inline std::vector<Call> calls_;
};

TEST_F(VerifyThreadFaults, ThreadThatCannotStartChangesNothing) {
  ASSERT_EQ(reference_.result.status, 0) << reference_.result.err;
  if (!has_second_cpu()) GTEST_SKIP() << "one CPU: no thread of its own for the digest";
  const std::size_t thread = first("thread");
  ASSERT_NE(thread, 0u);
  const Outcome got = run_with({"FAULT_AT=" + std::to_string(thread), "FAULT_MODE=errno:11"});
  EXPECT_EQ(got.result.status, 0) << got.result.err;
  EXPECT_EQ(got.result.err, "");
  EXPECT_EQ(got.result.out, reference_.result.out);
  EXPECT_EQ(got.extracted, reference_.extracted);
}

TEST_F(VerifyThreadFaults, PipelinedInflaterOutOfMemoryRefusesThePackage) {
  ASSERT_EQ(reference_.result.status, 0) << reference_.result.err;
  if (!has_second_cpu()) GTEST_SKIP() << "one CPU: no thread of its own for the digest";
  const std::size_t allocation = first("alloc");
  ASSERT_NE(allocation, 0u);
  const Outcome got = run_with({"FAULT_AT=" + std::to_string(allocation), "FAULT_MODE=errno:12"});
  EXPECT_EQ(got.result.status, 3) << got.result.err;
  EXPECT_EQ(got.result.out, "");
  EXPECT_EQ(got.result.err, std::string("plugin_verify: ") + kPackage +
                                ": main.wasm: out of memory for " + std::to_string(3 << 20) +
                                " bytes\n");
  EXPECT_FALSE(got.out_dir_exists);
}

}  // namespace
}  // namespace plugin_sign::testing
