// plugin_key through the built binary: the keys it makes and shows, checked with libsodium,
// the files it leaves, and its refusals.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "e2e/independent_crypto.hpp"
#include "signing/signing_key_cases.hpp"
#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

namespace fs = std::filesystem;

std::string hex_to_bytes(std::string_view hex) {
  std::string bytes(hex.size() / 2, '\0');
  EXPECT_EQ(0, sodium_hex2bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(),
                              hex.data(), hex.size(), nullptr, nullptr, nullptr));
  return bytes;
}

std::string unbase64(std::string_view text) {
  std::string bytes(text.size(), '\0');
  std::size_t length = 0;
  EXPECT_EQ(0, sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(),
                                 text.data(), text.size(), nullptr, &length, nullptr,
                                 sodium_base64_VARIANT_ORIGINAL));
  bytes.resize(length);
  return bytes;
}

// The key ID computed here, apart from the tool: 8 bytes of the public key's SHA-256.
std::string independent_key_id(std::string_view public_key_base64) {
  return sha256_hex(unbase64(public_key_base64)).substr(0, 16);
}

ToolResult plugin_key(const fs::path& cwd, std::vector<std::string> args,
                      std::optional<std::string> env_key = std::nullopt,
                      std::optional<std::string> stdin_text = std::nullopt) {
  return run_tool(ToolRun{.args = std::move(args),
                          .key = std::move(env_key),
                          .cwd = cwd,
                          .argv0 = "plugin_key",
                          .binary = kPluginKeyBinary,
                          .stdin_text = std::move(stdin_text)});
}

void write_secret(const fs::path& path, std::string_view text, mode_t mode = 0600) {
  write_file(path, text);
  ASSERT_EQ(0, ::chmod(path.c_str(), mode));
}

struct Rfc8032Key {
  const char* name;
  const char* seed;
  const char* public_key;
};

// RFC 8032 section 7.1.
constexpr Rfc8032Key kRfc8032Keys[] = {
    {"TEST 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"},
    {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"},
    {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025"},
    {"TEST SHA(abc)", "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
     "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf"},
};

TEST(KeyTool, Rfc8032SecretKeysGiveTheirPublicKeysAndIds) {
  ASSERT_GE(sodium_init(), 0);
  for (const Rfc8032Key& k : kRfc8032Keys) {
    SCOPED_TRACE(k.name);
    ScratchDir dir;
    const std::string secret = base64(hex_to_bytes(k.seed)) + "\n";
    const std::string expected = base64(hex_to_bytes(k.public_key));
    write_secret(dir.path() / "secret", secret);

    const ToolResult from_file = plugin_key(dir.path(), {"public", "secret"});
    const ToolResult from_env = plugin_key(dir.path(), {"public"}, secret);
    const ToolResult from_stdin = plugin_key(dir.path(), {"public", "-"}, std::nullopt, secret);
    for (const ToolResult& r : {from_file, from_env, from_stdin}) {
      EXPECT_EQ(0, r.status) << r.err;
      EXPECT_EQ(expected + "\n", r.out);
      EXPECT_EQ("", r.err);
    }

    write_file(dir.path() / "key.pub", expected + "\n");
    const std::string id = independent_key_id(expected) + "\n";
    const ToolResult id_of_text = plugin_key(dir.path(), {"id", expected});
    const ToolResult id_of_file = plugin_key(dir.path(), {"id", "key.pub"});
    EXPECT_EQ(id, id_of_text.out) << id_of_text.err;
    EXPECT_EQ(id, id_of_file.out) << id_of_file.err;
  }
}

TEST(KeyTool, PemOutputIsWhatOpensslDerives) {
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl";
  ScratchDir dir;
  const std::string seed_hex = kRfc8032Keys[0].seed;
  write_secret(dir.path() / "secret", base64(hex_to_bytes(seed_hex)) + "\n");
  const ToolResult r = plugin_key(dir.path(), {"public", "--pem", "secret"});
  ASSERT_EQ(0, r.status) << r.err;
  // The README's recipe: the seed behind the fixed PKCS#8 prefix.
  write_file(dir.path() / "secret.der",
             hex_to_bytes("302e020100300506032b657004220420" + seed_hex));
  const std::string command = "cd '" + dir.path().string() +
                              "' && openssl pkey -inform DER -in secret.der -pubout > openssl.pem";
  ASSERT_EQ(0, std::system(command.c_str()));
  EXPECT_EQ(read_file(dir.path() / "openssl.pem"), r.out);
}

// Signs `plugin` in `dir` with the secret key file's text as the signer reads it, and checks
// signature.sig with the public key apart from either tool.
void expect_signs_with(const fs::path& dir, const std::string& secret_text,
                       const std::string& public_key_base64) {
  make_plugin(dir / "plug", kSamplePluginToml, "wasm bytes");
  const ToolResult signed_run =
      run_tool(ToolRun{.args = {"plug", "out.zip"}, .key = secret_text, .cwd = dir});
  ASSERT_EQ(0, signed_run.status) << signed_run.err;
  const std::string manifest = "{\"plugin.toml\":\"" + sha256_hex(kSamplePluginToml) +
                               "\",\"main.wasm\":\"" + sha256_hex("wasm bytes") + "\"}";
  const std::string signature = unbase64(read_file(dir / "plug" / "signature.sig"));
  const std::string public_key = unbase64(public_key_base64);
  ASSERT_EQ(64u, signature.size());
  ASSERT_EQ(32u, public_key.size());
  EXPECT_EQ(0, crypto_sign_verify_detached(
                   reinterpret_cast<const unsigned char*>(signature.data()),
                   reinterpret_cast<const unsigned char*>(manifest.data()), manifest.size(),
                   reinterpret_cast<const unsigned char*>(public_key.data())));
}

TEST(KeyTool, GenerateWritesAKeyThatSigns) {
  ASSERT_GE(sodium_init(), 0);
  ScratchDir dir;
  const mode_t previous_umask = ::umask(022);
  const ToolResult r = plugin_key(dir.path(), {"generate", "signing-key"});
  ::umask(previous_umask);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ((std::vector<std::string>{"signing-key", "signing-key.pub"}), names_in(dir.path()));
  EXPECT_EQ(0600u, mode_of(dir.path() / "signing-key"));
  EXPECT_EQ(0644u, mode_of(dir.path() / "signing-key.pub"));

  const std::string secret = read_file(dir.path() / "signing-key");
  const std::string public_text = read_file(dir.path() / "signing-key.pub");
  ASSERT_EQ(45u, secret.size());
  ASSERT_EQ('\n', secret.back());
  EXPECT_EQ(32u, unbase64(secret.substr(0, 44)).size());
  const std::string public_key = r.out.substr(12, 44);
  ASSERT_TRUE(r.out.starts_with("public-key: ")) << r.out;
  const std::string id = independent_key_id(public_key);
  EXPECT_EQ("public-key: " + public_key + "\nkey-id: " + id + "\n", r.out);
  EXPECT_EQ("# plugin_sign public key, key ID " + id + "\n" + public_key + "\n", public_text);
  EXPECT_EQ(std::string::npos, r.out.find(secret.substr(0, 44)));

  // The public key belongs to the secret one: libsodium derives it from the seed.
  const std::string seed = unbase64(secret.substr(0, 44));
  unsigned char derived[crypto_sign_PUBLICKEYBYTES];
  unsigned char expanded[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(derived, expanded, reinterpret_cast<const unsigned char*>(seed.data()));
  EXPECT_EQ(public_key, base64(std::string(reinterpret_cast<char*>(derived), sizeof derived)));

  // As the README does it: KAVENTA_PLUGIN_SIGNING_KEY="$(cat signing-key)".
  expect_signs_with(dir.path(), secret.substr(0, 44), public_key);
  // The public key file is a key file that the verifier trusts as it is.
  const ToolResult verified = run_tool(ToolRun{.args = {"-p", "signing-key.pub", "out.zip"},
                                               .cwd = dir.path(),
                                               .binary = kPluginVerifyBinary});
  EXPECT_EQ(0, verified.status) << verified.err;
  EXPECT_EQ("out.zip: verified demo 1.2.0, key " + independent_key_id(public_key) + "\n",
            verified.out);
  const ToolResult id_of_file = plugin_key(dir.path(), {"id", "signing-key.pub"});
  EXPECT_EQ(0, id_of_file.status) << id_of_file.err;
  EXPECT_EQ(id + "\n", id_of_file.out);

  // KAVENTA_PLUGIN_SIGNING_KEY="$(cat signing-key.pub)", the mix-up of the two files, fails
  // with the signer's own message instead of signing with a public value.
  std::string cat_output = public_text;
  cat_output.pop_back();
  make_plugin(dir.path() / "mixed", kSamplePluginToml, "wasm bytes");
  const ToolResult mixed =
      run_tool(ToolRun{.args = {"mixed", "mixed.zip"}, .key = cat_output, .cwd = dir.path()});
  EXPECT_EQ(1, mixed.status);
  EXPECT_EQ(
      "plugin_sign: KAVENTA_PLUGIN_SIGNING_KEY is not valid base64: Invalid symbol 35, "
      "offset 0.\n",
      mixed.err);
  EXPECT_FALSE(fs::exists(dir.path() / "mixed" / "signature.sig"));

  const ToolResult again = plugin_key(dir.path(), {"generate", "other"});
  ASSERT_EQ(0, again.status);
  EXPECT_NE(public_text, read_file(dir.path() / "other.pub"));
}

struct Existing {
  const char* name;
  std::function<void(const fs::path&)> make;
  const char* refused_path;  // in the message
};

TEST(KeyTool, GenerateNeverOverwritesWithoutForce) {
  const Existing cases[] = {
      {"secret key file", [](const fs::path& d) { write_file(d / "k", "old"); }, "k"},
      {"public key file", [](const fs::path& d) { write_file(d / "k.pub", "old"); }, "k.pub"},
      {"dangling symbolic link at the secret key file",
       [](const fs::path& d) { fs::create_symlink("elsewhere", d / "k"); }, "k"},
      {"symbolic link to a file at the public key file",
       [](const fs::path& d) {
         write_file(d / "target", "old");
         fs::create_symlink("target", d / "k.pub");
       },
       "k.pub"},
  };
  for (const Existing& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    c.make(dir.path());
    const std::vector<std::string> before = names_in(dir.path());
    const ToolResult refused = plugin_key(dir.path(), {"generate", "k"});
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ(
        "plugin_key: " + std::string(c.refused_path) + " already exists; --force replaces it\n",
        refused.err);
    EXPECT_EQ("", refused.out);
    EXPECT_EQ(before, names_in(dir.path()));
    EXPECT_FALSE(fs::exists(dir.path() / "elsewhere"));
    if (fs::exists(dir.path() / "target")) {
      EXPECT_EQ("old", read_file(dir.path() / "target"));
    }

    const ToolResult forced = plugin_key(dir.path(), {"generate", "--force", "k"});
    EXPECT_EQ(0, forced.status) << forced.err;
    EXPECT_FALSE(fs::is_symlink(dir.path() / "k"));
    EXPECT_FALSE(fs::is_symlink(dir.path() / "k.pub"));
    EXPECT_EQ(0600u, mode_of(dir.path() / "k"));
    EXPECT_EQ(45u, read_file(dir.path() / "k").size());
    EXPECT_FALSE(fs::exists(dir.path() / "elsewhere"));
    if (fs::exists(dir.path() / "target")) {
      EXPECT_EQ("old", read_file(dir.path() / "target"));
    }
  }
}

// Once, the new secret key was renamed into place, the public one failed, and the new secret
// was removed: both the old key and the new were lost.
TEST(KeyTool, AFailedForcedGenerateKeepsTheOldPair) {
  ScratchDir dir;
  ASSERT_EQ(0, plugin_key(dir.path(), {"generate", "k"}).status);
  const std::string old_secret = read_file(dir.path() / "k");
  fs::remove(dir.path() / "k.pub");
  fs::create_directory(dir.path() / "k.pub");
  write_file(dir.path() / "k.pub" / "inside", "kept");

  const ToolResult r = plugin_key(dir.path(), {"generate", "--force", "k"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("plugin_key: failed to write k.pub: Is a directory (os error 21)\n", r.err);
  EXPECT_EQ("", r.out);
  EXPECT_EQ((std::vector<std::string>{"k", "k.pub"}), names_in(dir.path()));
  EXPECT_EQ(old_secret, read_file(dir.path() / "k"));
  EXPECT_EQ(0600u, mode_of(dir.path() / "k"));
  EXPECT_EQ("kept", read_file(dir.path() / "k.pub" / "inside"));
}

// The hidden names an interrupted forced generate leaves beside FILE stop the next one, in
// FILE's own directory; hidden files of any other shape are someone else's and do not.
TEST(KeyTool, ForcedGenerateStopsAtTheHiddenFilesOfAnInterruptedOneOnly) {
  ScratchDir dir;
  const fs::path keys = dir.path() / "d";
  fs::create_directory(keys);
  for (const char* other :
       {".k.0123456789a.tmp", ".k.0123456789abc.tmp", ".k.0123456789aF.tmp", ".k.0123456789a:.tmp",
        ".k.0123456789a`.tmp", ".k.0123456789ag.tmp", ".k.0123456789af.tm", ".k.0123456789af.txt",
        ".k.pub.tmp", ".j.0123456789af.tmp"})
    write_file(keys / other, "other");
  ASSERT_EQ(0, plugin_key(dir.path(), {"generate", "d/k"}).status);
  const ToolResult replaced = plugin_key(dir.path(), {"generate", "--force", "d/k"});
  EXPECT_EQ(0, replaced.status) << replaced.err;

  // Created in the order they are named in: a directory may list them in another.
  write_file(keys / ".k.0123456789af.tmp", "old secret");
  write_file(keys / ".k.pub.000000000000.tmp", "old public");
  write_file(keys / ".k.pub.fedcba987654.tmp", "older public");
  const ToolResult r = plugin_key(dir.path(), {"generate", "--force", "d/k"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(
      r.err.starts_with("plugin_key: found d/.k.0123456789af.tmp, "
                        "d/.k.pub.000000000000.tmp, d/.k.pub.fedcba987654.tmp beside "
                        "d/k: an earlier generate was interrupted"))
      << r.err;
  // A long FILE's hidden names hold only its first 200 bytes.
  const std::string long_name(210, 'n');
  ASSERT_EQ(0, plugin_key(keys, {"generate", long_name}).status);
  write_file(keys / ("." + long_name.substr(0, 200) + ".0123456789af.tmp"), "old secret");
  EXPECT_EQ(1, plugin_key(keys, {"generate", "--force", long_name}).status);
}

TEST(KeyTool, GenerateIntoAMissingDirectoryLeavesNothing) {
  ScratchDir dir;
  const ToolResult r = plugin_key(dir.path(), {"generate", "missing/k"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("plugin_key: failed to write missing/k: No such file or directory (os error 2)\n",
            r.err);
  // Forced, its look for an interrupted run's files finds no directory to list.
  const ToolResult forced = plugin_key(dir.path(), {"generate", "--force", "missing/k"});
  EXPECT_EQ(1, forced.status);
  EXPECT_EQ(r.err, forced.err);
  EXPECT_TRUE(names_in(dir.path()).empty());
}

TEST(KeyTool, ASecretKeyFileOthersCanUseIsRefused) {
  for (const mode_t mode : {0640, 0604, 0620, 0602, 0610, 0601, 0644, 02640}) {
    SCOPED_TRACE(mode);
    ScratchDir dir;
    write_secret(dir.path() / "k", signing_key_cases::kKey + "\n", mode);
    const ToolResult r = plugin_key(dir.path(), {"public", "k"});
    EXPECT_EQ(1, r.status);
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
    EXPECT_EQ(std::string("plugin_key: k may be read or changed by group or others (mode ") +
                  octal + "): a secret key file must be private; run chmod 600 k\n",
              r.err);
    EXPECT_EQ("", r.out);
  }
  ScratchDir dir;
  write_secret(dir.path() / "k", signing_key_cases::kKey + "\n", 0400);
  EXPECT_EQ(0, plugin_key(dir.path(), {"public", "k"}).status);
}

// The signer's message for a key value, as plugin_key words it for a file: the file is named,
// never the variable, which was not read.
std::string file_message(const std::string& signer_message) {
  using namespace signing_key_cases;
  // The signer takes text that is not UTF-8 for an unset variable; a file is named instead.
  if (signer_message == kNotSet) return "not valid UTF-8";
  if (signer_message == kWrongSize) return "must decode to exactly 32 bytes";
  EXPECT_TRUE(signer_message.starts_with(kNotBase64)) << signer_message;
  return "not valid base64: " + signer_message.substr(kNotBase64.size());
}

// The signer's own table of refused keys: plugin_key refuses each alike, from the variable
// with the signer's very line, from a file with the file's name and the signer's detail.
TEST(KeyTool, RefusesEveryKeyTheSignerRefusesWithItsMessage) {
  for (const signing_key_cases::RefusedValue& c : signing_key_cases::refused_values()) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const ToolResult from_env = plugin_key(dir.path(), {"public"}, c.value);
    EXPECT_EQ(1, from_env.status);
    EXPECT_EQ("plugin_key: " + c.message + "\n", from_env.err);
    EXPECT_EQ("", from_env.out);
    if (!c.value) continue;
    write_secret(dir.path() / "k", *c.value);
    const ToolResult from_file = plugin_key(dir.path(), {"public", "k"});
    EXPECT_EQ(1, from_file.status);
    EXPECT_EQ("plugin_key: k: " + file_message(c.message) + "\n", from_file.err);
    const ToolResult from_stdin = plugin_key(dir.path(), {"public", "-"}, std::nullopt, *c.value);
    EXPECT_EQ("plugin_key: standard input: " + file_message(c.message) + "\n", from_stdin.err);
  }
  // A public key file given for a secret key: its comment line is the fault, and the message
  // quotes that one character's code and offset, no more of the file.
  ScratchDir dir;
  write_secret(dir.path() / "k.pub", "# plugin_sign public key\n" + signing_key_cases::kKey + "\n");
  const ToolResult pub = plugin_key(dir.path(), {"revoke", "k.pub"});
  EXPECT_EQ(1, pub.status);
  EXPECT_EQ("plugin_key: k.pub: not valid base64: Invalid symbol 35, offset 0.\n", pub.err);
}

TEST(KeyTool, ASecretKeyFileThatIsNoTextIsRefused) {
  const struct {
    const char* name;
    std::string content;
    std::string message;
  } cases[] = {
      {"NUL after the key", signing_key_cases::kKey + std::string("\0more", 5),
       "k: contains a NUL byte, not a secret key file"},
      {"too large", std::string(5000, ' ') + signing_key_cases::kKey,
       "failed to read k: larger than 4096 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_secret(dir.path() / "k", c.content);
    const ToolResult r = plugin_key(dir.path(), {"public", "k"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("plugin_key: " + c.message + "\n", r.err);
  }
  ScratchDir dir;
  fs::create_directory(dir.path() / "d");
  const ToolResult r = plugin_key(dir.path(), {"public", "d"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("plugin_key: failed to read d: not a regular file\n", r.err);
}

// What plugin_key adds when it refuses a public key, pinned here apart from the code.
const std::string kExpected =
    "expected a 44-character Base64 Ed25519 public key, as plugin_key generate writes to FILE.pub";

TEST(KeyTool, IdTakesAKeyOrAKeyFile) {
  const std::string k1 = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
  const std::string k2 = "PUAXw+hDiVqStwqnTRt+vJyYLM8uxJaMwM1V8Sr0Zgw=";
  const std::string id1 = independent_key_id(k1) + "\n";
  const std::string id2 = independent_key_id(k2) + "\n";
  // A key file of 1 MiB, the most that is read, comments but for its key.
  const std::string largest = std::string((1 << 20) - 46, '#') + "\n" + k1 + "\n";
  const struct {
    const char* name;
    std::string file;  // written as `file_name` when not empty
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
    std::string file_name = "keys";
    ::mode_t mode = 0644;
  } cases[] = {
      {"key text", "", {"id", k1}, 0, id1, ""},
      // As plugin_verify -p refuses it: anyone could have added the key.
      {"a key file every user can write",
       k1 + "\n",
       {"id", "keys"},
       1,
       "",
       "plugin_key: keys: refused, every user can write to it (chmod o-w keys)\n",
       "keys",
       0666},
      {"key file of two keys with names",
       "# ours\n" + k1 + "\n" + k2 + " names=a-*\n",
       {"id", "keys"},
       0,
       id1 + id2,
       ""},
      {"PEM file",
       "-----BEGIN PUBLIC KEY-----\nMCowBQYDK2VwAyEA11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=\n"
       "-----END PUBLIC KEY-----\n",
       {"id", "keys"},
       0,
       id1,
       ""},
      {"key file of 1 MiB", largest, {"id", "keys"}, 0, id1, ""},
      {"key file of a byte more",
       "#" + largest,
       {"id", "keys"},
       1,
       "",
       "plugin_key: failed to read keys: larger than 1048576 bytes\n"},
      {"malformed key file",
       k1 + " names=\n",
       {"id", "keys"},
       1,
       "",
       "plugin_key: keys: line 1: names= needs at least one package name pattern; " + kExpected +
           "\n"},
      {"neither key nor file",
       "",
       {"id", k1.substr(1)},
       1,
       "",
       "plugin_key: " + k1.substr(1) +
           " is not a public key (public key is not valid base64: Invalid padding) nor an "
           "existing file; " +
           kExpected + "\n"},
      {"a missing path",
       "",
       {"id", "./k"},
       1,
       "",
       "plugin_key: ./k is not a public key (public key is not valid base64: Invalid symbol 46, "
       "offset 0.) nor an existing file; " +
           kExpected + "\n"},
      {"a directory",
       "",
       {"id", "."},
       1,
       "",
       "plugin_key: failed to read .: Is a directory (os error 21)\n"},
      {"a file named like a key is read as ./NAME", k1 + "\n", {"id", "./" + k2}, 0, id1, "", k2},
      {"a text that is a key is the key, whatever file has its name",
       k1 + "\n",
       {"id", k2},
       0,
       id2,
       "",
       k2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    if (!c.file.empty()) {
      write_file(dir.path() / c.file_name, c.file);
      ASSERT_EQ(::chmod((dir.path() / c.file_name).c_str(), c.mode), 0);
    }
    const ToolResult r = plugin_key(dir.path(), c.args);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.err, r.err);
  }
}

TEST(KeyTool, UsageErrorsExitWithTwo) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* first_line;
  } cases[] = {
      {"no command", {}, "plugin_key: no command given"},
      {"unknown command", {"make"}, "plugin_key: unknown command make"},
      {"unknown option", {"public", "--der"}, "plugin_key: unknown option --der for public"},
      {"unknown short option", {"revoke", "-x"}, "plugin_key: unknown option -x for revoke"},
      {"option of another command",
       {"generate", "--pem", "k"},
       "plugin_key: unknown option --pem for generate"},
      {"generate without a file", {"generate"}, "plugin_key: generate takes one SECRET_FILE"},
      {"generate to standard output",
       {"generate", "-"},
       "plugin_key: generate writes files, not standard output"},
      {"public with two files",
       {"public", "a", "b"},
       "plugin_key: public takes at most one SECRET_FILE"},
      {"id without a key", {"id"}, "plugin_key: id takes one PUBLIC_KEY"},
      {"--version with an argument",
       {"--version", "x"},
       "plugin_key: --version takes no arguments"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const ToolResult r = plugin_key(dir.path(), c.args);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(std::string(c.first_line) + "\nusage: plugin_key generate [--force] SECRET_FILE\n",
              r.err.substr(0, r.err.find('\n', r.err.find('\n') + 1) + 1));
    EXPECT_EQ("", r.out);
    EXPECT_TRUE(names_in(dir.path()).empty());
  }
}

TEST(KeyTool, HelpVersionAndDoubleDash) {
  ScratchDir dir;
  const ToolResult help = plugin_key(dir.path(), {"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("usage: plugin_key generate"));
  const ToolResult command_help = plugin_key(dir.path(), {"generate", "--help"});
  EXPECT_EQ(0, command_help.status);
  EXPECT_EQ(help.out, command_help.out);
  EXPECT_EQ(help.out, plugin_key(dir.path(), {"-h"}).out);
  EXPECT_TRUE(names_in(dir.path()).empty());
  const ToolResult version = plugin_key(dir.path(), {"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ(0u, version.out.find("plugin_key 1."));
  EXPECT_EQ('\n', version.out.back());
  const ToolResult dashed = plugin_key(dir.path(), {"generate", "--", "-k"});
  EXPECT_EQ(0, dashed.status) << dashed.err;
  EXPECT_TRUE(fs::exists(dir.path() / "-k.pub"));
  // Help or version that cannot be written is a failure like any other output's.
  for (const char* option : {"--help", "--version"}) {
    SCOPED_TRACE(option);
    const ToolResult unwritten = run_tool(ToolRun{.args = {option},
                                                  .cwd = dir.path(),
                                                  .stdout_mode = Stdout::kBrokenPipe,
                                                  .argv0 = "plugin_key",
                                                  .binary = kPluginKeyBinary});
    EXPECT_EQ(1, unwritten.status);
  }
}

// Memory that runs out is a failure of one line, never a silent success: here the lines of a
// key file of many comments, in an address space that holds the file but not their list.
TEST(KeyTool, OutOfMemoryIsAFailureOfOneLine) {
  if (PLUGIN_SIGN_SANITIZED) GTEST_SKIP() << "the sanitizers reserve more than the limit";
  ScratchDir dir;
  std::string comments;
  while (comments.size() < 1000000) comments += "#\n";
  const std::string public_key = plugin_key(dir.path(), {"public"}, kTestKey).out;
  write_file(dir.path() / "keys.pub", comments + public_key);
  const ToolResult r = run_tool(ToolRun{.args = {"id", "keys.pub"},
                                        .cwd = dir.path(),
                                        .argv0 = "plugin_key",
                                        .address_space_limit = std::uint64_t{8} << 20,
                                        .binary = kPluginKeyBinary});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("plugin_key: out of memory\n", r.err);
  EXPECT_EQ("", r.out);
  // Without the limit the same file gives its one key's ID.
  EXPECT_EQ(independent_key_id(public_key.substr(0, 44)) + "\n",
            plugin_key(dir.path(), {"id", "keys.pub"}).out);
}

// While plugin_key waits for a secret key on its input, no debugger or core file of the same
// user may read its memory, and a standard error it was started without is /dev/null, so
// that the files it opens cannot take that number and receive its messages. The kernel shows
// a process that is not dumpable by giving the files of its /proc directory to root: run as
// another user.
TEST(KeyTool, WaitingForASecretItIsNotDumpableAndHasNoFreeStandardDescriptor) {
  // The other user runs a copy in a directory everyone may enter: the build may sit below one
  // that only its owner can (a fresh clone in a private temporary directory, say).
  ScratchDir shared;
  fs::permissions(shared.path(), fs::perms(0755));
  const fs::path binary = shared.path() / "plugin_key";
  fs::copy_file(kPluginKeyBinary, binary);
  fs::permissions(binary, fs::perms(0755));
  int input[2];
  ASSERT_EQ(0, ::pipe2(input, O_CLOEXEC));
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(126);
    ::dup2(input[0], STDIN_FILENO);
    ::close(STDERR_FILENO);
    char* const argv[] = {const_cast<char*>("plugin_key"), const_cast<char*>("public"),
                          const_cast<char*>("-"), nullptr};
    ::execv(binary.c_str(), argv);
    ::_exit(127);
  }
  ::close(input[0]);
  const std::string proc = "/proc/" + std::to_string(pid);
  // Asleep in plugin_key: blocked on its input, past its start-up.
  bool waiting = false;
  for (int tries = 0; !waiting && tries < 500; ++tries) {
    std::error_code error;
    std::ifstream status(proc + "/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("State:")) {
    }
    waiting = fs::read_symlink(proc + "/exe", error) == binary && line.starts_with("State:\tS");
    if (!waiting) ::usleep(10000);
  }
  EXPECT_TRUE(waiting);
  struct stat owner {};
  ASSERT_EQ(0, ::stat((proc + "/status").c_str(), &owner));
  EXPECT_EQ(owner.st_uid, 0u);
  std::error_code error;
  EXPECT_EQ(fs::read_symlink(proc + "/fd/2", error), "/dev/null") << error.message();
  ::close(input[1]);
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status)) << status;
}
}  // namespace
}  // namespace plugin_sign::testing
