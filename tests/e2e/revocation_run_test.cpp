// Revocation with the built tools: keys made by plugin_key generate, packages signed by
// plugin_sign, statements made by plugin_key revoke and lists given to plugin_verify -r; and
// plugin_verify --name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kWasm("\0asm\x01\0\0\0", 8);

struct Key {
  std::string file;  // the secret key file, in the scratch directory
  std::string public_base64;
  std::string id;
};

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

class RevocationRun : public ::testing::Test {
 protected:
  ToolResult plugin_key(std::vector<std::string> args,
                        std::optional<std::string> stdin_text = std::nullopt,
                        std::optional<std::string> env_key = std::nullopt) {
    return run_tool({.args = std::move(args),
                     .key = std::move(env_key),
                     .cwd = dir_.path(),
                     .argv0 = "plugin_key",
                     .binary = kPluginKeyBinary,
                     .stdin_text = std::move(stdin_text)});
  }

  Key generate(const std::string& file) {
    const ToolResult made = plugin_key({"generate", file});
    EXPECT_EQ(made.status, 0) << made.err;
    // The public key file: a comment line naming the key, then the key.
    const std::string pub = read_file(dir_.path() / (file + ".pub"));
    Key key{.file = file, .public_base64 = first_line(pub.substr(pub.find('\n') + 1))};
    key.id = first_line(plugin_key({"id", key.public_base64}).out);
    return key;
  }

  // Signs a plugin directory `name` under `key` into NAME.zip; the directory keeps its
  // signature.sig.
  std::string sign(const std::string& name, const Key& key,
                   std::string_view toml = kSamplePluginToml, std::string_view wasm = kWasm) {
    make_plugin(dir_.path() / name, toml, wasm);
    const ToolResult r = run_tool({.args = {name, name + ".zip"},
                                   .key = first_line(read_file(dir_.path() / key.file)),
                                   .cwd = dir_.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    return name + ".zip";
  }

  std::string revoke(const Key& key) {
    const ToolResult r = plugin_key({"revoke", key.file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
  }

  // A revocation file as a host keeps it: readable by all, writable by its owner only.
  std::string list(const std::string& name, std::string_view text, mode_t mode = 0644) {
    write_file(dir_.path() / name, text);
    EXPECT_EQ(0, ::chmod((dir_.path() / name).c_str(), mode));
    return name;
  }

  ToolResult verify(std::vector<std::string> args) {
    return run_tool({.args = std::move(args),
                     .cwd = dir_.path(),
                     .argv0 = "plugin_verify",
                     .alarm_seconds = 60,
                     .binary = kPluginVerifyBinary});
  }

  std::string manifest_sha256(const std::string& package, const Key& key) {
    const ToolResult r = verify({"--json", "-P", key.public_base64, package});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::size_t at = r.out.find("\"manifest_sha256\":\"");
    EXPECT_NE(at, std::string::npos) << r.out;
    return r.out.substr(at + 19, 64);
  }

  ScratchDir dir_;
};

TEST_F(RevocationRun, PlugInKeyRevokePrintsOneSelfSignedLine) {
  const Key a = generate("a");
  const std::string statement = revoke(a);
  EXPECT_TRUE(
      std::regex_match(statement, std::regex("key [A-Za-z0-9+/]{43}= [A-Za-z0-9+/]{86}==\n")))
      << statement;
  EXPECT_EQ(statement.substr(4, 44), a.public_base64);
  // The same statement every time, from the file, standard input or the variable.
  const std::string secret = read_file(dir_.path() / "a");
  EXPECT_EQ(plugin_key({"revoke", "-"}, secret).out, statement);
  EXPECT_EQ(plugin_key({"revoke"}, std::nullopt, first_line(secret)).out, statement);

  // Refused as plugin_key public refuses a secret key file that others may read.
  ASSERT_EQ(0, ::chmod((dir_.path() / "a").c_str(), 0640));
  const ToolResult shared = plugin_key({"revoke", "a"});
  EXPECT_EQ(shared.status, 1);
  EXPECT_EQ(shared.out, "");
  EXPECT_EQ(shared.err, "plugin_key: " + plugin_key({"public", "a"}).err.substr(12));
  EXPECT_NE(shared.err.find("chmod 600 a"), std::string::npos) << shared.err;
  EXPECT_EQ(plugin_key({"revoke", "a", "b"}).status, 2);
}

TEST_F(RevocationRun, ARevokedKeysPackagesAreRefusedOthersUnaffected) {
  const Key a = generate("a");
  const Key b = generate("b");
  const std::string from_a = sign("from-a", a);
  const std::string from_b = sign("from-b", b);
  const std::vector<std::string> trust = {"-p", "a.pub", "-p", "b.pub"};
  const auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> args = trust;
    args.insert(args.end(), more.begin(), more.end());
    return verify(args);
  };
  ToolResult r = with({from_a, from_b});
  ASSERT_EQ(r.status, 0) << r.err;

  list("revoked", "# a's laptop was stolen\n" + revoke(a));
  r = with({"-r", "revoked", from_a, from_b});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "plugin_verify: from-a.zip: key " + a.id + " is revoked\n");
  EXPECT_EQ(r.out, "from-b.zip: verified demo 1.2.0, key " + b.id + "\n");
  r = with({"--json", "-r", "revoked", from_a});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"exit_status\":1,"), std::string::npos) << r.out;
  EXPECT_NE(
      r.out.find("\"error\":{\"kind\":\"revoked\",\"message\":\"key " + a.id + " is revoked\"}"),
      std::string::npos)
      << r.out;
  // The signature verified: which key signed what is known, and said.
  EXPECT_NE(r.out.find("\"name\":\"demo\",\"version\":\"1.2.0\",\"key_id\":\"" + a.id + "\","),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"manifest_sha256\":\"" + manifest_sha256(from_a, a) + "\""),
            std::string::npos)
      << r.out;

  // Several files add up; a revoked key that this host does not trust changes nothing.
  list("b-only", "key-id " + b.id + "\n");
  EXPECT_EQ(with({"-r", "b-only", "-r", "revoked", from_a, from_b}).err,
            "plugin_verify: from-a.zip: key " + a.id +
                " is revoked\nplugin_verify: from-b.zip: key " + b.id + " is revoked\n");
  r = verify({"-p", "b.pub", "-r", "revoked", from_b});
  EXPECT_EQ(r.status, 0) << r.err;
  // The plugin directory that plugin_sign left is refused as its package is.
  EXPECT_EQ(with({"-r", "revoked", "from-a"}).status, 1);
}

TEST_F(RevocationRun, KeyIdAndPackageEntries) {
  const Key a = generate("a");
  const std::string bad = sign("bad", a);
  const std::string good = sign("good", a, kSamplePluginToml, "another module");
  const std::string digest = manifest_sha256(bad, a);

  list("ids", "key-id " + a.id + "\r\n");
  ToolResult r = verify({"-p", "a.pub", "-r", "ids", bad, good});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "plugin_verify: bad.zip: key " + a.id +
                       " is revoked\nplugin_verify: good.zip: key " + a.id + " is revoked\n");

  list("packages", "# found to mine coins\npackage " + digest + "\n");
  r = verify({"-p", "a.pub", "-r", "packages", bad, good});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "plugin_verify: bad.zip: package " + digest + " is revoked\n");
  EXPECT_EQ(r.out, "good.zip: verified demo 1.2.0, key " + a.id + "\n");
  // The identity is the signed contents, not the file: the directory is the same package.
  EXPECT_EQ(verify({"-p", "a.pub", "-r", "packages", "bad"}).status, 1);
}

// A list that cannot be trusted whole is not used at all: status 3 before any package.
TEST_F(RevocationRun, ABadRevocationFileIsRefused) {
  const Key a = generate("a");
  const Key b = generate("b");
  const std::string package = sign("pkg", a);
  const std::string statement = first_line(revoke(a));
  const std::string signature = statement.substr(4 + 44 + 1);
  std::string flipped = signature;
  flipped[20] = flipped[20] == 'Q' ? 'R' : 'Q';
  const std::string package_signature = read_file(dir_.path() / "pkg" / "signature.sig");
  const std::string not_statement = "line 2: the signature is not this key's revocation statement";
  const struct {
    const char* name;
    std::string text;
    std::string message;
  } cases[] = {
      {"another key's public key", "\nkey " + b.public_base64 + " " + signature, not_statement},
      {"a flipped signature", "\nkey " + a.public_base64 + " " + flipped, not_statement},
      {"a package signature", "\nkey " + a.public_base64 + " " + package_signature, not_statement},
      {"bad hex", "#\nkey-id " + a.id.substr(0, 15) + "x",
       "line 2: key-id must be lowercase hexadecimal digits, found \"" + a.id.substr(0, 15) +
           "x\""},
      {"wrong length", "\npackage " + a.id,
       "line 2: package must be 64 hexadecimal digits, found 16 characters"},
      {"unknown word", "\nrevoke " + a.id,
       "line 2: unknown entry \"revoke\" (the entries are key, key-id, package and below)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    list("list", c.text + "\n");
    const ToolResult r = verify({"-p", "a.pub", "-r", "list", package});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "plugin_verify: revocation file list: " + c.message + "\n");
  }

  list("open", statement + "\n", 0666);
  ToolResult r = verify({"-p", "a.pub", "-r", "open", package});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "plugin_verify: revocation file open: refused, every user can write to it (chmod o-w "
            "open)\n");
  r = verify({"-p", "a.pub", "-r", "missing", package});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "plugin_verify: revocation file missing: failed to read: No such file or directory (os "
            "error 2)\n");
  EXPECT_EQ(verify({"-p", "a.pub", package, "-r"}).status, 3);
}

// A statement's signature covers another message than a manifest: in signature.sig it is
// no signature of the package.
TEST_F(RevocationRun, AStatementSignatureIsNoPackageSignature) {
  const Key a = generate("a");
  sign("pkg", a);
  const std::string statement = first_line(revoke(a));
  write_file(dir_.path() / "pkg" / "signature.sig", statement.substr(4 + 44 + 1));
  const ToolResult r = verify({"-p", "a.pub", "pkg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "plugin_verify: pkg: signature does not match any trusted key\n");
}

TEST_F(RevocationRun, OnlyThePackageNamedVerifies) {
  const Key a = generate("a");
  const std::string demo = sign("demo", a);
  const std::string hello = sign("hello", a, "[package]\nname = \"hello\"\nversion = \"0.1.0\"\n");
  const std::string nul =
      sign("nul", a, "[package]\nname = \"demo\\u0000x\"\nversion = \"1.0.0\"\n");
  ToolResult r = verify({"-p", "a.pub", "--name", "demo", demo});
  EXPECT_EQ(r.status, 0) << r.err;
  r = verify({"-p", "a.pub", "--name", "demo", demo, hello});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "demo.zip: verified demo 1.2.0, key " + a.id + "\n");
  EXPECT_EQ(r.err, "plugin_verify: hello.zip: package name hello, expected demo\n");
  r = verify({"-p", "a.pub", "--json", "--name", "Demo", demo});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"error\":{\"kind\":\"name_mismatch\",\"message\":\"package name demo, "
                       "expected Demo\"}"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"name\":\"demo\",\"version\":\"1.2.0\",\"key_id\":\"" + a.id + "\","),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"manifest_sha256\":\"" + manifest_sha256(demo, a) + "\""),
            std::string::npos)
      << r.out;
  // Equal up to a NUL is not equal; whichever check refuses it, nothing verifies.
  r = verify({"-p", "a.pub", "--name", "demo", nul});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.find("\n"), r.err.size() - 1) << r.err;

  EXPECT_TRUE(verify({"-p", "a.pub", "--name", "", demo})
                  .err.starts_with("plugin_verify: --name needs a package name, not an empty "
                                   "one\nusage: plugin_verify "));
  EXPECT_EQ(verify({"-p", "a.pub", "--name", "a", "--name", "b", demo}).status, 3);
  EXPECT_EQ(verify({"-p", "a.pub", demo, "--name"}).status, 3);
}

}  // namespace
}  // namespace plugin_sign::testing
