// tool_runner.hpp — runs a built tool (plugin_sign unless told) in a scratch directory for
// end-to-end tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace plugin_sign::testing {

/// The built binaries a test can run.
enum class Tool { kPluginSign, kPluginVerify };

/// How standard output is set up for the child.
enum class Stdout { kCaptured, kClosed, kBrokenPipe };

struct ToolRun {
  std::vector<std::string> args;   // after the invocation name; raw bytes
  std::optional<std::string> key;  // KAVENTA_PLUGIN_SIGNING_KEY, unset when empty
  std::filesystem::path cwd;       // working directory of the child
  Stdout stdout_mode = Stdout::kCaptured;
  std::optional<std::string> argv0;    // the tool's own name when unset
  std::vector<std::string> extra_env;  // "NAME=value" entries, e.g. LD_PRELOAD
  // When run by root, the child drops to user and group 65534, so that permissions apply.
  bool as_nobody = false;
  // Bytes of address space the child may use (RLIMIT_AS); unlimited when unset.
  std::optional<std::uint64_t> address_space_limit;
  // Seconds after which SIGALRM ends a child that hangs (status 128 + 14); none when 0.
  unsigned alarm_seconds = 0;
  Tool tool = Tool::kPluginSign;
};

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

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
void write_file(const std::filesystem::path& path, std::string_view content);

/// A plugin directory with the given files; returns its path.
std::filesystem::path make_plugin(const std::filesystem::path& dir, std::string_view plugin_toml,
                                  std::string_view main_wasm);

/// A valid key (Base64 of a fixed seed), the seed itself, and a sample plugin.toml.
inline constexpr const char* kTestKey = "wlzTOxY1BXW4vjAi0Hw5zkUbTHrq78owtIiI53D+16I=";
inline constexpr const char* kSamplePluginToml =
    "[package]\nname = \"demo\"\nversion = \"1.2.0\"\n";

}  // namespace plugin_sign::testing
