// The version record and version floors with the built tools: each plugin_verify run is its own
// process, so the record is all that carries what was accepted from one run to the next.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kWasm("\0asm\x01\0\0\0", 8);
constexpr const char* kHeader = "plugin_sign version record 1\n";

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

class RecordRun : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0700)); }

  ToolResult plugin_key(std::vector<std::string> args) {
    return run_tool({.args = std::move(args),
                     .cwd = dir_.path(),
                     .argv0 = "plugin_key",
                     .binary = kPluginKeyBinary});
  }

  // A new key: its secret key file `file`, and `file`.pub to trust it.
  void generate(const std::string& file) {
    const ToolResult made = plugin_key({"generate", file});
    ASSERT_EQ(made.status, 0) << made.err;
  }

  // `name` `version` signed by the key in `key` into a package file, whose name is returned.
  std::string sign(const std::string& key, std::string_view name, std::string_view version,
                   std::string_view wasm = kWasm) {
    const std::string dir = "p" + std::to_string(++signed_);
    make_plugin(dir_.path() / dir,
                "[package]\nname = \"" + std::string(name) + "\"\nversion = \"" +
                    std::string(version) + "\"\n",
                wasm);
    const ToolResult r = run_tool({.args = {dir, dir + ".zip"},
                                   .key = first_line(read_file(dir_.path() / key)),
                                   .cwd = dir_.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir + ".zip";
  }

  ToolResult verify(std::vector<std::string> args) {
    return run_tool({.args = std::move(args),
                     .cwd = dir_.path(),
                     .argv0 = "plugin_verify",
                     .alarm_seconds = 60,
                     .binary = kPluginVerifyBinary});
  }

  std::string record() const { return read_file(dir_.path() / "record"); }

  ScratchDir dir_;
  int signed_ = 0;
};

TEST_F(RecordRun, AnOlderReleaseIsRefusedInTheNextProcess) {
  generate("k");
  const std::string v140 = sign("k", "hello", "1.4.0");
  const std::string v120 = sign("k", "hello", "1.2.0");
  const std::string v150 = sign("k", "hello", "1.5.0");
  const std::string recut = sign("k", "hello", "1.5.0", std::string(kWasm) + "x");
  ASSERT_FALSE(fs::exists(dir_.path() / "record"));

  const ToolResult first = verify({"-p", "k.pub", "--record", "record", v140});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(record().starts_with(kHeader)) << record();

  const ToolResult older = verify({"-p", "k.pub", "--record", "record", v120});
  EXPECT_EQ(older.status, 1);
  EXPECT_EQ(older.err,
            "plugin_verify: " + v120 + ": hello 1.2.0 is older than 1.4.0, accepted before\n");
  const ToolResult json = verify({"-p", "k.pub", "--record", "record", "--json", v120});
  EXPECT_EQ(json.status, 1);
  EXPECT_NE(json.out.find("\"kind\":\"rollback\""), std::string::npos) << json.out;
  // Without the record nothing is remembered: the old release is validly signed.
  EXPECT_EQ(verify({"-p", "k.pub", v120}).status, 0);

  EXPECT_EQ(verify({"-p", "k.pub", "--record", "record", v150}).status, 0);
  EXPECT_NE(record().find(" 1.5.0 "), std::string::npos) << record();
  EXPECT_EQ(record().find(" 1.4.0 "), std::string::npos) << record();
  const ToolResult other = verify({"-p", "k.pub", "--record", "record", recut});
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("hello 1.5.0 was accepted before with other contents"),
            std::string::npos)
      << other.err;
  EXPECT_EQ(verify({"-p", "k.pub", "--record", "record", v150}).status, 0);
}

// A leaked key's 99.0.0 raises the floor until the key is revoked; then the publisher's next
// release is accepted, and recorded beside the revoked key's entry.
TEST_F(RecordRun, ARevokedKeysRecordNoLongerBlocks) {
  generate("real");
  generate("leaked");
  const std::string v99 = sign("leaked", "hello", "99.0.0");
  const std::string v160 = sign("real", "hello", "1.6.0");
  const std::vector<std::string> trust = {"-p",         "real.pub", "-p",
                                          "leaked.pub", "--record", "record"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> args = trust;
    args.insert(args.end(), more.begin(), more.end());
    return verify(args);
  };
  EXPECT_EQ(with({v99}).status, 0);
  const ToolResult blocked = with({v160});
  EXPECT_EQ(blocked.status, 1);
  EXPECT_NE(blocked.err.find("hello 1.6.0 is older than 99.0.0, accepted before"),
            std::string::npos)
      << blocked.err;

  const ToolResult revoke = plugin_key({"revoke", "leaked"});
  ASSERT_EQ(revoke.status, 0) << revoke.err;
  write_file(dir_.path() / "revoked", revoke.out);
  EXPECT_EQ(with({"-r", "revoked", v160}).status, 0);
  const std::string text = record();
  EXPECT_NE(text.find(" 99.0.0 "), std::string::npos) << text;
  EXPECT_NE(text.find(" 1.6.0 "), std::string::npos) << text;
  EXPECT_EQ(with({"-r", "revoked", v99}).status, 1);
}

TEST_F(RecordRun, BelowEntriesRefuseLowerVersionsWithoutARecord) {
  generate("k");
  const std::string v120 = sign("k", "hello", "1.2.0");
  const std::string v140 = sign("k", "hello", "1.4.0");
  const std::string other = sign("k", "my plugin", "0.1.0");
  write_file(dir_.path() / "floors",
             "# after the advisory\nbelow hello 1.4.0\nbelow my%20plugin 0.2.0\n");
  const ToolResult refused = verify({"-p", "k.pub", "-r", "floors", v120});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "plugin_verify: " + v120 + ": hello 1.2.0 is revoked (below 1.4.0)\n");
  const ToolResult json = verify({"-p", "k.pub", "-r", "floors", "--json", other});
  EXPECT_EQ(json.status, 1);
  EXPECT_NE(json.out.find("\"kind\":\"revoked\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("my plugin 0.1.0 is revoked (below 0.2.0)"), std::string::npos);
  EXPECT_EQ(verify({"-p", "k.pub", "-r", "floors", v140}).status, 0);
  write_file(dir_.path() / "bad", "below hello 1.4\n");
  const ToolResult bad = verify({"-p", "k.pub", "-r", "bad", v140});
  EXPECT_EQ(bad.status, 3);
  EXPECT_EQ(bad.err,
            "plugin_verify: revocation file bad: line 1: below: the version must be a "
            "semantic version such as 1.4.0\n");
}

// The record is host state: damaged, it refuses every package and stays as it is for someone
// to look at; never started again from nothing.
TEST_F(RecordRun, ADamagedRecordIsRefusedAndNeverRewritten) {
  generate("k");
  const std::string v140 = sign("k", "hello", "1.4.0");
  const std::string damaged = std::string(kHeader) + "hello 0123456789abcdef 1.";
  write_file(dir_.path() / "record", damaged);
  const ToolResult r = verify({"-p", "k.pub", "--record", "record", v140});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "plugin_verify: " + v140 +
                       ": version record record: line 2: ends without a line feed (cut short?) "
                       "(damaged: it is left as it is; repair or remove it)\n");
  EXPECT_EQ(record(), damaged);
  const ToolResult json = verify({"-p", "k.pub", "--record", "record", "--json", v140});
  EXPECT_EQ(json.status, 3);
  EXPECT_NE(json.out.find("\"kind\":\"unreadable\""), std::string::npos) << json.out;

  write_file(dir_.path() / "record", kHeader);
  ASSERT_EQ(0, ::chmod((dir_.path() / "record").c_str(), 0646));
  const ToolResult writable = verify({"-p", "k.pub", "--record", "record", v140});
  EXPECT_EQ(writable.status, 3);
  EXPECT_NE(writable.err.find("refused, every user can write to it"), std::string::npos)
      << writable.err;
  EXPECT_EQ(record(), kHeader);
  // Its directory too, also when its name is one letter.
  fs::create_directory(dir_.path() / "w");
  ASSERT_EQ(0, ::chmod((dir_.path() / "w").c_str(), 0777));
  const ToolResult open_dir = verify({"-p", "k.pub", "--record", "w/record", v140});
  EXPECT_EQ(open_dir.status, 3);
  EXPECT_NE(open_dir.err.find("refused, every user can write to directory w"), std::string::npos)
      << open_dir.err;
  EXPECT_FALSE(fs::exists(dir_.path() / "w" / "record"));
  EXPECT_EQ(verify({"-p", "k.pub", "--record", "missing/record", v140}).status, 3);
  EXPECT_EQ(verify({"-p", "k.pub", "--record", "", v140}).status, 3);
}

// Several processes at once, each verifying packages of random versions against one record:
// afterwards it holds exactly the highest version of each name, whichever process got there
// first. An update lost between two processes would leave a lower one.
TEST_F(RecordRun, ConcurrentProcessesLoseNoUpdate) {
  generate("k");
  const std::vector<std::string> names = {"alpha", "beta", "gamma"};
  std::vector<std::string> packages;
  for (const std::string& name : names)
    for (int minor = 0; minor < 6; ++minor)
      packages.push_back(sign("k", name, "1." + std::to_string(minor) + ".0"));
  std::mt19937 random(20261211);
  std::string script;
  for (int process = 0; process < 8; ++process) {
    std::shuffle(packages.begin(), packages.end(), random);
    script += "'" + std::string(kPluginVerifyBinary) + "' -q -p k.pub --record record";
    for (const std::string& package : packages) script += " " + package;
    script += " & pids=\"$pids $!\"\n";
  }
  // Each process's status: 0, or 1 when an older package came after a newer one was recorded.
  script += "for p in $pids; do wait $p; s=$?; [ $s -le 1 ] || exit $s; done\n";
  const ToolResult run = run_tool({.args = {"-c", script},
                                   .cwd = dir_.path(),
                                   .argv0 = "bash",
                                   .alarm_seconds = 120,
                                   .binary = "/bin/bash"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string text = record();
  ASSERT_TRUE(text.starts_with(kHeader)) << text;
  std::vector<std::string> lines;
  for (std::size_t at = std::string(kHeader).size(); at < text.size();) {
    const std::size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos) << text;
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(lines.size(), names.size()) << text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_TRUE(lines[i].starts_with(names[i] + " ")) << lines[i];
    EXPECT_NE(lines[i].find(" 1.5.0 "), std::string::npos) << lines[i];
  }
  // What they wrote reads back: a version below the highest is refused; no temporary file
  // is left beside the record.
  for (const std::string& name : names) {
    const std::string lower = sign("k", name, "1.4.9");
    EXPECT_EQ(verify({"-p", "k.pub", "--record", "record", lower}).status, 1) << name;
  }
  for (const std::string& name : names_in(dir_.path()))
    EXPECT_FALSE(name.starts_with(".record")) << name;
}

}  // namespace
}  // namespace plugin_sign::testing
