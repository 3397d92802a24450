// Fails each I/O call of a complete signing run in turn, through the fault_inject library
// loaded with LD_PRELOAD, and checks what the run reports and leaves on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

namespace fs = std::filesystem;

// Injected error numbers whose texts are easy to tell from anything the run says itself.
constexpr int kEio = 5;
constexpr int kEnospc = 28;
constexpr const char* kEioText = "Input/output error (os error 5)";
constexpr const char* kEnospcText = "No space left on device (os error 28)";
constexpr const char* kPluginDir = "p";
constexpr const char* kOutput = "out.zip";
// Longer than the first read of a file read without a size, so that the buffer must grow.
constexpr const char* kPluginToml =
    "[package]\nname = \"demo\"\nversion = \"1.2.0\"\ndescription = \"a plugin.toml longer "
    "than the first read of a file without a size\"\n";
// Larger than the writer's output buffer even after compression, so that writing main.wasm
// into the archive takes more than one write of its own.
constexpr std::size_t kWasmSize = 600 * 1024;

// Where in the run a call belongs, in run order.
enum class Stage { kReadToml, kReadWasm, kSignature, kCreate, kArchive, kStdout };

struct Call {
  std::string function;
  std::string target;
  Stage stage = Stage::kReadToml;
};

std::string wasm_bytes() {
  std::mt19937 generator(7);
  std::string bytes(kWasmSize, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

std::optional<std::string> file_content(const fs::path& path) {
  if (!fs::exists(path)) return std::nullopt;
  return read_file(path);
}

Stage stage_of(const std::string& function, const std::string& target, Stage last_open) {
  if (function == "alloc") return last_open;
  if (target == "p/plugin.toml") return Stage::kReadToml;
  if (target == "p/main.wasm") return Stage::kReadWasm;
  if (target == "p/signature.sig") return Stage::kSignature;
  if (target == kOutput) return function == "open" ? Stage::kCreate : Stage::kArchive;
  if (target == "fd:1") return Stage::kStdout;
  ADD_FAILURE() << "a call the sweep does not expect: " << function << " " << target;
  return last_open;
}

// The trace of a run: "N FUNCTION TARGET" per line, N counting from 1.
std::vector<Call> read_trace(const fs::path& path) {
  std::ifstream in(path);
  std::vector<Call> calls;
  std::size_t number = 0;
  std::string function, target;
  Stage last_open = Stage::kReadToml;
  while (in >> number >> function >> target) {
    EXPECT_EQ(number, calls.size() + 1);
    const Stage stage = stage_of(function, target, last_open);
    if (function == "open") last_open = stage;
    calls.push_back(Call{.function = function, .target = target, .stage = stage});
  }
  return calls;
}

// Equal contents, described briefly: an archive printed byte by byte helps nobody.
::testing::AssertionResult same_file(const std::optional<std::string>& got,
                                     const std::optional<std::string>& want) {
  if (got == want) return ::testing::AssertionSuccess();
  auto describe = [](const std::optional<std::string>& f) {
    return f ? std::to_string(f->size()) + " bytes" : std::string("absent");
  };
  return ::testing::AssertionFailure()
         << "file differs: " << describe(got) << ", expected " << describe(want);
}

// One run of the tool in a fresh directory with a fresh copy of the plugin.
struct Outcome {
  ToolResult result;
  std::optional<std::string> signature;
  std::optional<std::string> archive;
};

class FaultSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = std::make_unique<ScratchDir>();
    wasm_ = wasm_bytes();
    const fs::path trace = scratch_->path() / "trace";
    reference_ = run_with({"FAULT_TRACE=" + trace.string()});
    calls_ = read_trace(trace);
  }
  static void TearDownTestSuite() { scratch_.reset(); }

  // The input buffer's allocations and mappings, whether its helpers are inlined or not.
  static constexpr const char* kInputAllocations =
      "FAULT_ALLOC_IN=ByteBuffer,read_plugin_file,map_storage";

  static Outcome run_with(std::vector<std::string> env,
                          const std::string& allocations = kInputAllocations) {
    const fs::path dir = scratch_->path() / ("run" + std::to_string(++runs_));
    make_plugin(dir / kPluginDir, kPluginToml, wasm_);
    env.push_back("LD_PRELOAD=" FAULT_INJECT_LIBRARY);
    // The sanitizer runtime wants to come first; the library hands every call on to it.
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    env.push_back("FAULT_ALARM=60");
    env.push_back(allocations);
    Outcome outcome{.result = run_tool(ToolRun{.args = {kPluginDir, kOutput},
                                               .key = kTestKey,
                                               .cwd = dir,
                                               .extra_env = std::move(env)}),
                    .signature = file_content(dir / kPluginDir / "signature.sig"),
                    .archive = file_content(dir / kOutput)};
    fs::remove_all(dir);
    return outcome;
  }

  static Outcome run_failing(std::size_t n, const std::string& mode) {
    return run_with({"FAULT_AT=" + std::to_string(n), "FAULT_MODE=" + mode});
  }

  // The same success as the reference run: the same line, the same bytes on disk.
  static void expect_reference_success(const Outcome& got) {
    EXPECT_EQ(got.result.status, 0);
    EXPECT_EQ(got.result.err, "");
    EXPECT_EQ(got.result.out, reference_.result.out);
    EXPECT_TRUE(same_file(got.signature, reference_.signature));
    EXPECT_TRUE(same_file(got.archive, reference_.archive));
  }

  static inline std::unique_ptr<ScratchDir> scratch_;
  static inline std::string wasm_;
  static inline Outcome reference_;
  static inline std::vector<Call> calls_;
  static inline int runs_ = 0;
};

// What a failed archive step said: its place among the steps (add plugin.toml = 0, write
// plugin.toml = 1, add main.wasm = 2, ... finalize = 6) and the error text at its end.
struct ArchiveStep {
  int rank = -1;
  std::string error;
};

std::optional<ArchiveStep> parse_archive_message(const std::string& message) {
  const std::string names[] = {"plugin.toml", "main.wasm", "signature.sig"};
  for (int i = 0; i < 3; ++i) {
    const std::string add = "failed to add " + names[i] + " to zip: i/o error: ";
    const std::string write = "failed to write " + names[i] + " into zip: ";
    if (message.starts_with(add)) return ArchiveStep{2 * i, message.substr(add.size())};
    if (message.starts_with(write)) return ArchiveStep{2 * i + 1, message.substr(write.size())};
  }
  const std::string finalize = "failed to finalize zip: i/o error: ";
  if (message.starts_with(finalize)) return ArchiveStep{6, message.substr(finalize.size())};
  return std::nullopt;
}

// The message after "plugin_sign: " on the one line of standard error. Only a failed finish
// may put the second attempt's report in front of it on the same line.
std::string failure_message(const std::string& err) {
  EXPECT_TRUE(err.ends_with("\n"));
  EXPECT_EQ(err.find('\n'), err.size() - 1) << "more than one line";
  const std::string line = err.substr(0, err.find('\n'));
  const std::size_t prefix = line.find("plugin_sign: ");
  if (prefix == std::string::npos) {
    ADD_FAILURE() << "no failure line";
    return {};
  }
  const std::string message = line.substr(prefix + 13);
  if (prefix > 0) {
    EXPECT_TRUE(line.starts_with("ZipWriter drop failed: ")) << line;
    EXPECT_TRUE(message.starts_with("failed to finalize zip: ")) << line;
  }
  return message;
}

std::string expected_error_text(const Call& call) {
  if (call.function == "alloc") return "out of memory";
  return call.function == "write" ? kEnospcText : kEioText;
}

std::string errno_mode(const Call& call) {
  return "errno:" + std::to_string(call.function == "write" ? kEnospc : kEio);
}

std::string read_failure(const std::string& file, const Call& call) {
  return std::string("failed to read ") + kPluginDir + "/" + file + ": " +
         expected_error_text(call);
}

// What a failed run leaves: signature.sig absent before its step, a prefix of the reference
// while it is written, complete after it; no archive before it is created, a complete one
// when only the success line failed.
void expect_files_left(const Call& call, const Outcome& got, const Outcome& reference) {
  if (call.stage < Stage::kSignature ||
      (call.stage == Stage::kSignature && call.function == "open")) {
    EXPECT_EQ(got.signature, std::nullopt);
  } else if (call.stage == Stage::kSignature) {
    ASSERT_TRUE(got.signature.has_value());
    EXPECT_TRUE(reference.signature->starts_with(*got.signature));
  } else {
    EXPECT_TRUE(same_file(got.signature, reference.signature));
  }
  if (call.stage <= Stage::kCreate) {
    EXPECT_TRUE(same_file(got.archive, std::nullopt));
  } else if (call.stage == Stage::kStdout) {
    EXPECT_TRUE(same_file(got.archive, reference.archive));
  } else {
    EXPECT_TRUE(got.archive.has_value());
  }
}

TEST_F(FaultSweep, CountingRunReachesEveryStep) {
  ASSERT_EQ(reference_.result.status, 0) << reference_.result.err;
  EXPECT_EQ(reference_.result.out, std::string("署名済みZIPを作成しました: ") + kOutput + "\n");
  ASSERT_TRUE(reference_.signature && reference_.archive);
  // Without these the sweep would miss a step: the library must see every kind of call.
  auto count = [](Stage stage, const char* function) {
    return std::count_if(calls_.begin(), calls_.end(),
                         [&](const Call& c) { return c.stage == stage && c.function == function; });
  };
  for (Stage file : {Stage::kReadToml, Stage::kReadWasm}) {
    EXPECT_EQ(count(file, "open"), 1);
    EXPECT_EQ(count(file, "fstat"), 1);
    EXPECT_EQ(count(file, "alloc"), 1);
    EXPECT_GE(count(file, "read"), 2);
  }
  EXPECT_EQ(count(Stage::kSignature, "write"), 1);
  EXPECT_EQ(count(Stage::kCreate, "open"), 1);
  EXPECT_GE(count(Stage::kArchive, "lseek"), 1);
  EXPECT_GE(count(Stage::kArchive, "write"), 4);
  for (Stage file : {Stage::kReadToml, Stage::kReadWasm, Stage::kSignature, Stage::kArchive})
    EXPECT_EQ(count(file, "close"), 1);
  EXPECT_EQ(count(Stage::kStdout, "write"), 1);
  // The size of the sweep, for the test report.
  ::testing::Test::RecordProperty("calls", static_cast<int>(calls_.size()));
  ::testing::Test::RecordProperty(
      "allocations",
      static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                     [](const Call& c) { return c.function == "alloc"; })));
  ::testing::Test::RecordProperty(
      "writes", static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [](const Call& c) {
        return c.function == "write";
      })));
}

TEST_F(FaultSweep, EachFailedCallEndsTheRunWithItsStepsMessage) {
  ASSERT_EQ(reference_.result.status, 0);
  int last_rank = -1;
  for (std::size_t n = 1; n <= calls_.size(); ++n) {
    const Call& call = calls_[n - 1];
    SCOPED_TRACE("call " + std::to_string(n) + ": " + call.function + " " + call.target);
    const Outcome got = run_failing(n, errno_mode(call));
    // Closing an input loses nothing: the run goes on as if it had worked.
    if (call.function == "close" && call.stage <= Stage::kReadWasm) {
      expect_reference_success(got);
      continue;
    }
    EXPECT_EQ(got.result.out, "");
    expect_files_left(call, got, reference_);
    if (call.stage == Stage::kStdout) {
      EXPECT_EQ(got.result.status, 101);
      EXPECT_NE(got.result.err.find(kEnospcText), std::string::npos) << got.result.err;
      EXPECT_FALSE(got.result.err.starts_with("plugin_sign: ")) << got.result.err;
      continue;
    }
    EXPECT_EQ(got.result.status, 1) << got.result.err;
    const std::string message = failure_message(got.result.err);
    switch (call.stage) {
      case Stage::kReadToml:
        EXPECT_EQ(message, read_failure("plugin.toml", call));
        break;
      case Stage::kReadWasm:
        EXPECT_EQ(message, read_failure("main.wasm", call));
        break;
      case Stage::kSignature:
        EXPECT_EQ(message, "failed to write signature.sig: " + expected_error_text(call));
        break;
      case Stage::kCreate:
        EXPECT_EQ(message, std::string("failed to create ") + kOutput + ": " + kEioText);
        break;
      default: {
        const auto step = parse_archive_message(message);
        if (!step) {
          ADD_FAILURE() << "not an archive step: " << message;
          continue;
        }
        EXPECT_EQ(step->error, expected_error_text(call));
        // The writer's own call pattern is its business; its steps only go forward.
        if (last_rank < 0) {
          EXPECT_EQ(step->rank, 0) << "the first archive call adds plugin.toml";
        }
        EXPECT_GE(step->rank, last_rank);
        last_rank = step->rank;
      }
    }
  }
  EXPECT_EQ(last_rank, 6) << "the last archive call finishes the archive";
}

// Without a size from fstat (as under /proc) the input buffer grows as it fills; each growth
// that cannot get memory ends the read with "out of memory", and nothing is written.
TEST_F(FaultSweep, WithoutSizesEachFailedGrowthIsOutOfMemory) {
  ASSERT_EQ(reference_.result.status, 0);
  const fs::path trace = scratch_->path() / "trace-without-size";
  const Outcome sizeless = run_with({"FAULT_SIZELESS=1", "FAULT_TRACE=" + trace.string()});
  expect_reference_success(sizeless);
  const std::vector<Call> calls = read_trace(trace);
  const auto growths = std::count_if(calls.begin(), calls.end(), [](const Call& c) {
    return c.function == "alloc" && c.stage == Stage::kReadWasm;
  });
  EXPECT_GT(growths, 2) << "main.wasm is read into a growing buffer";
  for (std::size_t n = 1; n <= calls.size(); ++n) {
    const Call& call = calls[n - 1];
    if (call.function != "alloc") continue;
    const char* file = call.stage == Stage::kReadToml ? "plugin.toml" : "main.wasm";
    SCOPED_TRACE("call " + std::to_string(n) + ": allocation for " + file);
    const Outcome got =
        run_with({"FAULT_SIZELESS=1", "FAULT_AT=" + std::to_string(n), "FAULT_MODE=errno:5"});
    EXPECT_EQ(got.result.status, 1);
    EXPECT_EQ(got.result.out, "");
    EXPECT_EQ(got.result.err, std::string("plugin_sign: ") + read_failure(file, call) + "\n");
    EXPECT_EQ(got.signature, std::nullopt);
    EXPECT_TRUE(same_file(got.archive, std::nullopt));
  }
}

// main.wasm is compressed in blocks by worker threads; a worker that cannot get memory for a
// block's output ends the run at main.wasm's step, and nothing of the entry follows.
TEST_F(FaultSweep, AWorkerOutOfMemoryFailsMainWasmsStep) {
  ASSERT_EQ(reference_.result.status, 0);
  const Outcome got =
      run_with({"FAULT_EVERY=alloc", "FAULT_MODE=errno:12"}, "FAULT_ALLOC_IN=reserve_block_output");
  EXPECT_EQ(got.result.status, 1);
  EXPECT_EQ(got.result.out, "");
  EXPECT_EQ(got.result.err, "plugin_sign: failed to write main.wasm into zip: out of memory\n");
  EXPECT_TRUE(same_file(got.signature, reference_.signature));
  ASSERT_TRUE(got.archive.has_value());
  EXPECT_LT(got.archive->size(), reference_.archive->size());
}

// With no worker thread to be had, main.wasm's blocks cannot be compressed: the run fails at
// main.wasm's step, never an entry recorded as empty.
TEST_F(FaultSweep, NoWorkerThreadFailsMainWasmsStep) {
  ASSERT_EQ(reference_.result.status, 0);
  const Outcome got = run_with({"FAULT_THREADS=1", "FAULT_EVERY=thread", "FAULT_MODE=errno:11"});
  EXPECT_EQ(got.result.status, 1);
  EXPECT_EQ(got.result.out, "");
  EXPECT_EQ(got.result.err, "plugin_sign: failed to write main.wasm into zip: out of memory\n");
  EXPECT_TRUE(same_file(got.signature, reference_.signature));
}

TEST_F(FaultSweep, InterruptedCallsAreRetried) {
  ASSERT_EQ(reference_.result.status, 0);
  for (std::size_t n = 1; n <= calls_.size(); ++n) {
    const Call& call = calls_[n - 1];
    if (call.function == "alloc") continue;
    SCOPED_TRACE("call " + std::to_string(n) + ": " + call.function + " " + call.target);
    expect_reference_success(run_failing(n, "eintr"));
  }
}

TEST_F(FaultSweep, ShortWritesAreCompleted) {
  ASSERT_EQ(reference_.result.status, 0);
  for (std::size_t n = 1; n <= calls_.size(); ++n) {
    const Call& call = calls_[n - 1];
    if (call.function != "write") continue;
    SCOPED_TRACE("call " + std::to_string(n) + ": write " + call.target);
    expect_reference_success(run_failing(n, "short"));
  }
}

}  // namespace
}  // namespace plugin_sign::testing
