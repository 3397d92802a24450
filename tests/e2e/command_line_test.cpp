// The command line, the read failures and the exit statuses, through the built binary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage = "plugin_sign: usage: plugin_sign <plugin_dir> [output.zip]\n";

// Every entry below `dir`, so a test can assert that a run wrote nothing.
std::vector<fs::path> listing(const fs::path& dir) {
  std::vector<fs::path> entries;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) entries.push_back(entry.path());
  std::sort(entries.begin(), entries.end());
  return entries;
}

TEST(CommandLine, WithoutPluginDirectoryPrintsUsage) {
  ScratchDir dir;
  make_plugin(dir.path(), kSamplePluginToml, "wasm");
  const auto before = listing(dir.path());
  ToolResult r = run_tool({.args = {}, .key = kTestKey, .cwd = dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kUsage);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(listing(dir.path()), before);
}

TEST(CommandLine, ArgumentThatIsNotUtf8IsAnInternalErrorBeforeAnythingElse) {
  struct Case {
    const char* name;
    std::string argv0;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"invocation name", "plugin_sign\xFF", {"plug"}},
      {"plugin directory", "plugin_sign", {"plug\xC3"}},
      {"output path", "plugin_sign", {"plug", "out\x80.zip"}},
      {"ignored fourth argument", "plugin_sign", {"plug", "out.zip", "\xED\xA0\x80"}},
      {"alone, where the usage line would come", "plugin_sign\xFE", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
    const auto before = listing(dir.path());
    ToolResult r = run_tool({.args = c.args, .key = kTestKey, .cwd = dir.path(), .argv0 = c.argv0});
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
    EXPECT_NE(r.err.rfind("plugin_sign: ", 0), 0u) << "not an ordinary failure line: " << r.err;
    EXPECT_EQ(listing(dir.path()), before);
  }
}

TEST(CommandLine, ReadFailuresQuoteTheDirectoryTextUnchanged) {
  ScratchDir dir;
  make_plugin(dir.path() / "no-wasm", kSamplePluginToml, "");
  fs::remove(dir.path() / "no-wasm" / "main.wasm");
  fs::create_directories(dir.path() / "toml-is-dir" / "plugin.toml");
  fs::create_directories(dir.path() / "empty");
  struct Case {
    std::string plugin_dir;
    std::string message;
  };
  const Case cases[] = {
      {"missing", "failed to read missing/plugin.toml: No such file or directory (os error 2)"},
      // plugin.toml is named first even though main.wasm is missing too.
      {"empty/", "failed to read empty//plugin.toml: No such file or directory (os error 2)"},
      {"no-wasm", "failed to read no-wasm/main.wasm: No such file or directory (os error 2)"},
      {"./no-wasm/", "failed to read ./no-wasm//main.wasm: No such file or directory (os error 2)"},
      {"toml-is-dir", "failed to read toml-is-dir/plugin.toml: Is a directory (os error 21)"},
      {"", "failed to read /plugin.toml: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plugin_dir);
    ToolResult r = run_tool({.args = {c.plugin_dir}, .key = kTestKey, .cwd = dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "plugin_sign: " + c.message + "\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(fs::exists(dir.path() / "no-wasm" / "signature.sig"));
}

TEST(CommandLine, UnreadableMainWasmReportsPermissionError) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
  // Readable for everybody but main.wasm, so that the run fails where it should also when
  // the tests run as root (the child then drops to an unprivileged user).
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions(dir.path() / "plug", fs::perms::all);
  fs::permissions(dir.path() / "plug" / "main.wasm", fs::perms::none);
  ToolResult r =
      run_tool({.args = {"plug"}, .key = kTestKey, .cwd = dir.path(), .as_nobody = true});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "plugin_sign: failed to read plug/main.wasm: Permission denied (os error 13)\n");
}

TEST(CommandLine, KeyFailuresComeAfterReadingAndWriteNothing) {
  struct Case {
    const char* name;
    std::optional<std::string> key;
    const char* message;
  };
  const Case cases[] = {
      {"unset", std::nullopt, "environment variable KAVENTA_PLUGIN_SIGNING_KEY is not set"},
      {"not UTF-8", std::string("\xFF"),
       "environment variable KAVENTA_PLUGIN_SIGNING_KEY is not set"},
      {"empty", std::string(""), "KAVENTA_PLUGIN_SIGNING_KEY must decode to exactly 32 bytes"},
      {"malformed", std::string("abc!"),
       "KAVENTA_PLUGIN_SIGNING_KEY is not valid base64: Invalid symbol 33, offset 3."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
    const auto before = listing(dir.path());
    ToolResult r = run_tool({.args = {"plug"}, .key = c.key, .cwd = dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("plugin_sign: ") + c.message + "\n");
    EXPECT_EQ(listing(dir.path()), before);
  }
}

TEST(CommandLine, ReadFailureWinsOverMissingKey) {
  ScratchDir dir;
  ToolResult r = run_tool({.args = {"nowhere"}, .key = std::nullopt, .cwd = dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err,
      "plugin_sign: failed to read nowhere/plugin.toml: No such file or directory (os error 2)\n");
}

TEST(CommandLine, SignatureFileThatCannotBeWrittenIsReported) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
  fs::create_directory(dir.path() / "plug" / "signature.sig");
  ToolResult r = run_tool({.args = {"plug"}, .key = kTestKey, .cwd = dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "plugin_sign: failed to write signature.sig: Is a directory (os error 21)\n");
}

// A FIFO would block the run until a writer came; it fails at once, before anything is
// written. A link to a regular file is followed, as build systems link main.wasm.
TEST(CommandLine, InputThatIsNotARegularFileFailsAtOnce) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
  fs::remove(dir.path() / "plug" / "main.wasm");
  ASSERT_EQ(::mkfifo((dir.path() / "plug" / "main.wasm").c_str(), 0600), 0);
  const auto before = listing(dir.path());
  ToolResult r =
      run_tool({.args = {"plug"}, .key = kTestKey, .cwd = dir.path(), .alarm_seconds = 30});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "plugin_sign: failed to read plug/main.wasm: not a regular file\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(listing(dir.path()), before);

  fs::remove(dir.path() / "plug" / "main.wasm");
  write_file(dir.path() / "build.wasm", "wasm");
  fs::create_symlink("../build.wasm", dir.path() / "plug" / "main.wasm");
  r = run_tool({.args = {"plug", "out.zip"}, .key = kTestKey, .cwd = dir.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir.path() / "plug" / "signature.sig").size(), 88u);
}

// A link planted as signature.sig is not followed: the file it points at keeps its content.
TEST(CommandLine, SignatureLinkPointingOutsideIsRefused) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
  write_file(dir.path() / "victim.txt", "victim");
  fs::create_symlink("../victim.txt", dir.path() / "plug" / "signature.sig");
  ToolResult r = run_tool({.args = {"plug", "out.zip"}, .key = kTestKey, .cwd = dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "plugin_sign: failed to write signature.sig: Too many levels of symbolic links (os "
            "error 40)\n");
  EXPECT_EQ(read_file(dir.path() / "victim.txt"), "victim");
  EXPECT_TRUE(fs::is_symlink(dir.path() / "plug" / "signature.sig"));
  EXPECT_FALSE(fs::exists(dir.path() / "out.zip"));
}

}  // namespace
}  // namespace plugin_sign::testing
