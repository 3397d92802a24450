// tool_runner.hpp — runs the built plugin_sign binary in a scratch directory for end-to-end tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace plugin_sign::testing {

/// How standard output is set up for the child.
enum class Stdout { kCaptured, kClosed, kBrokenPipe };

struct ToolRun {
  std::vector<std::string> args;   // after the invocation name; raw bytes
  std::optional<std::string> key;  // KAVENTA_PLUGIN_SIGNING_KEY, unset when empty
  std::filesystem::path cwd;       // working directory of the child
  Stdout stdout_mode = Stdout::kCaptured;
  std::string argv0 = "plugin_sign";
  std::vector<std::string> extra_env;  // "NAME=value" entries, e.g. LD_PRELOAD
  // When run by root, the child drops to user and group 65534, so that permissions apply.
  bool as_nobody = false;
  // Bytes of address space the child may use (RLIMIT_AS); unlimited when unset.
  std::optional<std::uint64_t> address_space_limit;
  // Seconds after which SIGALRM ends a child that hangs (status 128 + 14); none when 0.
  unsigned alarm_seconds = 0;
  std::string binary;                     // the executable; empty: the built plugin_sign
  std::optional<std::string> stdin_text;  // standard input; /dev/null when unset
};

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
  // The child's peak resident set in bytes (wait4's ru_maxrss): from the start of the run, as
  // this process's own peak is reset before the child is made from it.
  std::uint64_t peak_rss = 0;
};

/// The built plugin_key, for ToolRun::binary.
inline constexpr const char* kPluginKeyBinary = PLUGIN_KEY_BINARY;
/// The built plugin_verify, for ToolRun::binary.
inline constexpr const char* kPluginVerifyBinary = PLUGIN_VERIFY_BINARY;

/// Runs the binary with only PATH and the given variables in its environment.
ToolResult run_tool(const ToolRun& run);

/// A fresh directory under the system's temporary directory, removed when destroyed.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
/// The names in `dir`, sorted, hidden ones included: a leftover temporary file shows up here.
/// None for a directory that does not exist.
std::vector<std::string> names_in(const std::filesystem::path& dir);
/// The permission bits of `path` itself (a symbolic link is not followed).
unsigned mode_of(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::string_view content);

/// A plugin directory with the given files; returns its path.
std::filesystem::path make_plugin(const std::filesystem::path& dir, std::string_view plugin_toml,
                                  std::string_view main_wasm);

/// A valid key (Base64 of a fixed seed), the seed itself, and a sample plugin.toml.
inline constexpr const char* kTestKey = "wlzTOxY1BXW4vjAi0Hw5zkUbTHrq78owtIiI53D+16I=";
inline constexpr const char* kSamplePluginToml =
    "[package]\nname = \"demo\"\nversion = \"1.2.0\"\n";

}  // namespace plugin_sign::testing
