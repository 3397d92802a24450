// Whole runs of plugin_verify on packages that the built plugin_sign made: output lines, JSON,
// key files, exit statuses and extraction.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/independent_crypto.hpp"
#include "plugin/json_value.hpp"
#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kWasm("\0asm\x01\0\0\0", 8);
// Another signer's seed: its packages verify under its own key only.
constexpr const char* kOtherKey = "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=";
constexpr const char* kUsageLine =
    "usage: plugin_verify [-p KEYFILE]... [-P PUBLICKEY]... [-r FILE]... [--name NAME] [-x DIR] "
    "[--record FILE] [--max-wasm-size BYTES] [--max-toml-size BYTES] [--json] [-q] PACKAGE...\n";

// The public key of a seed, derived independently of the code under test.
struct KeyPair {
  unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
  std::string public_base64;
  std::string key_id;  // first 8 bytes of the SHA-256 of the public key, in hex
};

KeyPair key_pair(const char* seed_base64) {
  unsigned char seed[32], secret[crypto_sign_SECRETKEYBYTES];
  std::size_t length = 0;
  EXPECT_EQ(sodium_base642bin(seed, sizeof seed, seed_base64, std::strlen(seed_base64), nullptr,
                              &length, nullptr, sodium_base64_VARIANT_ORIGINAL),
            0);
  KeyPair pair;
  crypto_sign_seed_keypair(pair.public_key, secret, seed);
  pair.public_base64 =
      base64({reinterpret_cast<const char*>(pair.public_key), sizeof pair.public_key});
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, pair.public_key, sizeof pair.public_key);
  char hex[17];
  sodium_bin2hex(hex, sizeof hex, digest, 8);
  pair.key_id = hex;
  return pair;
}

// A scratch directory with packages made by plugin_sign.
class VerifyRun : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(sodium_init() >= 0, true); }

  // Signs a plugin with `toml` and `wasm` under `key` into `zip` in the scratch directory.
  fs::path sign(const std::string& zip, std::string_view toml = kSamplePluginToml,
                std::string_view wasm = kWasm, const char* key = kTestKey) {
    const fs::path plugin = dir_.path() / ("plugin-of-" + zip);
    make_plugin(plugin, toml, wasm);
    const ToolResult r = run_tool({.args = {plugin.string(), zip}, .key = key, .cwd = dir_.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir_.path() / zip;
  }

  ToolResult verify(std::vector<std::string> args) {
    return run_tool({.args = std::move(args),
                     .cwd = dir_.path(),
                     .argv0 = "plugin_verify",
                     .alarm_seconds = 60,
                     .binary = kPluginVerifyBinary});
  }

  std::string verified_line(const std::string& package, const std::string& name_version) {
    return package + ": verified " + name_version + ", key " + test_key_.key_id + "\n";
  }

  ScratchDir dir_;
  const KeyPair test_key_ = key_pair(kTestKey);
  const KeyPair other_key_ = key_pair(kOtherKey);
};

TEST_F(VerifyRun, PackagesThatPluginSignMakesVerify) {
  sign("demo.zip");
  // The README's example plugin, as it is in the repository.
  fs::copy(fs::path(PLUGIN_SIGN_SOURCE_DIR) / "examples" / "hello", dir_.path() / "hello");
  fs::remove(dir_.path() / "hello" / "signature.sig");
  const ToolResult signed_hello =
      run_tool({.args = {"hello"}, .key = kTestKey, .cwd = dir_.path()});
  ASSERT_EQ(signed_hello.status, 0) << signed_hello.err;
  // A module larger than the inflater's buffers and than the archive writer's blocks.
  std::string large(3 << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 7919) >> 5);
  sign("large.zip", "[package]\nname = \"large\"\nversion = \"2.0.0-rc.1\"\n", large);

  const ToolResult r =
      verify({"-P", test_key_.public_base64, "demo.zip", "hello-v0.1.0.zip", "large.zip", "hello"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, verified_line("demo.zip", "demo 1.2.0") +
                       verified_line("hello-v0.1.0.zip", "hello 0.1.0") +
                       verified_line("large.zip", "large 2.0.0-rc.1") +
                       verified_line("hello", "hello 0.1.0"));
  // The test key is the demo key, whose public key the repository ships for `make demo`.
  const fs::path demo_key = fs::path(PLUGIN_SIGN_SOURCE_DIR) / "examples" / "demo-public-key.txt";
  const ToolResult demo = verify({"-p", demo_key.string(), "hello-v0.1.0.zip"});
  EXPECT_EQ(demo.status, 0) << demo.err;
  EXPECT_EQ(demo.out, verified_line("hello-v0.1.0.zip", "hello 0.1.0"));
}

TEST_F(VerifyRun, SeveralPackagesGiveTheHighestStatusAndEachItsLine) {
  sign("good.zip");
  sign("other.zip", kSamplePluginToml, kWasm, kOtherKey);
  const fs::path truncated = sign("truncated.zip");
  fs::resize_file(truncated, fs::file_size(truncated) - 1);
  struct Case {
    const char* name;
    std::vector<std::string> packages;
    int status;
    std::vector<std::string> failed;  // the packages named on standard error, in order
  };
  const Case cases[] = {
      {"all verify", {"good.zip", "good.zip"}, 0, {}},
      {"a bad signature after a good one", {"good.zip", "other.zip"}, 1, {"other.zip"}},
      {"malformed beats bad signature",
       {"truncated.zip", "other.zip", "good.zip"},
       2,
       {"truncated.zip", "other.zip"}},
      {"unreadable beats everything",
       {"missing.zip", "truncated.zip", "other.zip", "good.zip"},
       3,
       {"missing.zip", "truncated.zip", "other.zip"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"-P", test_key_.public_base64};
    args.insert(args.end(), c.packages.begin(), c.packages.end());
    const ToolResult r = verify(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    std::string want_out;
    for (const std::string& package : c.packages)
      if (package == "good.zip") want_out += verified_line(package, "demo 1.2.0");
    EXPECT_EQ(r.out, want_out);
    std::vector<std::string> named;
    for (std::size_t at = 0; at < r.err.size();) {
      const std::size_t end = r.err.find('\n', at);
      ASSERT_NE(end, std::string::npos) << "unterminated line";
      const std::string line = r.err.substr(at, end - at);
      ASSERT_TRUE(line.starts_with("plugin_verify: ")) << line;
      named.push_back(line.substr(15, line.find(": ", 15) - 15));
      at = end + 1;
    }
    EXPECT_EQ(named, c.failed);
  }
}

// The signer leaves a fresh signature.sig beside an invalid plugin.toml: the directory
// verifies up to its plugin.toml, and the parser's whole reason comes out on one line.
TEST_F(VerifyRun, InvalidPluginTomlIsReportedWithItsReason) {
  const fs::path plugin = dir_.path() / "plug";
  make_plugin(plugin, "[package]\nname = \"demo\"\nversion = 1.2\n", kWasm);
  const ToolResult signing =
      run_tool({.args = {plugin.string(), "out.zip"}, .key = kTestKey, .cwd = dir_.path()});
  ASSERT_EQ(1, signing.status);
  ASSERT_TRUE(fs::exists(plugin / "signature.sig"));
  const ToolResult r = verify({"-P", test_key_.public_base64, "plug"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(
      "plugin_verify: plug: invalid plugin.toml: TOML parse error at line 3, column 11: invalid "
      "type: floating point `1.2`, expected a string\n",
      r.err);
}

TEST_F(VerifyRun, EachExitStatus) {
  sign("good.zip");
  sign("other.zip", kSamplePluginToml, kWasm, kOtherKey);
  const fs::path appended = sign("appended.zip");
  write_file(appended, read_file(appended) + "x");
  write_file(dir_.path() / "only-others.txt", other_key_.public_base64 + " names=other-*\n");
  write_file(dir_.path() / "restricted.txt", test_key_.public_base64 + " names=other,dem\n");
  fs::create_directory(dir_.path() / "not-a-plugin");
  ASSERT_EQ(::mkfifo((dir_.path() / "fifo.zip").c_str(), 0600), 0);
  const std::string key = test_key_.public_base64;
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* kind;  // the JSON error kind, for a package result
  };
  const Case cases[] = {
      {"verified", {"-P", key, "good.zip"}, 0, nullptr},
      {"signed by another key", {"-P", key, "other.zip"}, 1, "bad_signature"},
      {"key not allowed for the name", {"-p", "restricted.txt", "good.zip"}, 1, "name_not_allowed"},
      {"signer's key restricted to other names",
       {"-p", "only-others.txt", "other.zip"},
       1,
       "name_not_allowed"},
      {"bytes after the end record", {"-P", key, "appended.zip"}, 2, "malformed"},
      {"not a package at all", {"-P", key, "only-others.txt"}, 2, "malformed"},
      {"missing package", {"-P", key, "missing.zip"}, 3, "unreadable"},
      {"directory without the plugin files", {"-P", key, "not-a-plugin"}, 3, "unreadable"},
      {"a FIFO, refused without blocking", {"-P", key, "fifo.zip"}, 3, "unreadable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ToolResult r = verify(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    std::vector<std::string> json_args = c.args;
    json_args.push_back("--json");
    r = verify(json_args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    const auto parsed = parse_json(r.out);
    ASSERT_TRUE(parsed.has_value()) << r.out;
    const auto& members = parsed->members;
    const auto error = std::find_if(members.begin(), members.end(),
                                    [](const auto& m) { return m.first == "error"; });
    ASSERT_NE(error, members.end());
    // What the signature established is there exactly when it verified.
    const bool signature_verified =
        c.kind == nullptr || std::string_view(c.kind) == "name_not_allowed";
    for (const char* field : {"name", "version", "key_id", "plugin_toml_sha256", "main_wasm_sha256",
                              "manifest_sha256"}) {
      const auto member = std::find_if(members.begin(), members.end(),
                                       [&](const auto& m) { return m.first == field; });
      ASSERT_NE(member, members.end()) << field;
      EXPECT_EQ(member->second.kind,
                signature_verified ? JsonValue::Kind::kString : JsonValue::Kind::kNull)
          << field;
    }
    if (c.kind == nullptr) {
      EXPECT_EQ(error->second.kind, JsonValue::Kind::kNull);
    } else {
      ASSERT_EQ(error->second.kind, JsonValue::Kind::kObject);
      EXPECT_EQ(error->second.members.at(0).first, "kind");
      EXPECT_EQ(error->second.members.at(0).second.text, c.kind);
    }
  }
}

// A file larger than any package within the limits is refused from its size alone: this one is
// sparse, and reading it would take gigabytes.
TEST_F(VerifyRun, OversizedFileIsRefusedUnread) {
  const fs::path huge = dir_.path() / "huge.zip";
  write_file(huge, "");
  fs::resize_file(huge, std::uint64_t{6} << 30);
  const ToolResult r = verify({"-P", test_key_.public_base64, "huge.zip"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(
      r.err.starts_with("plugin_verify: huge.zip: package is 6442450944 bytes, larger "
                        "than the limits allow ("))
      << r.err;
}

TEST_F(VerifyRun, EverySingleByteChangeFails) {
  const fs::path package = sign("demo.zip");
  const std::string original = read_file(package);
  const fs::path changed = dir_.path() / "changed.zip";
  for (std::size_t i = 0; i < original.size(); ++i) {
    std::string bytes = original;
    bytes[i] = static_cast<char>(bytes[i] ^ 0x01);
    write_file(changed, bytes);
    const ToolResult r = verify({"-q", "-P", test_key_.public_base64, "changed.zip"});
    ASSERT_TRUE(r.status == 1 || r.status == 2) << "byte " << i << ": status " << r.status;
    ASSERT_EQ(r.out + r.err, "") << "byte " << i;
  }
}

TEST_F(VerifyRun, UsageErrors) {
  sign("good.zip");
  const std::string key = test_key_.public_base64;
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {"nothing", {}, "no trusted key: give -p KEYFILE or -P PUBLICKEY"},
      {"no key", {"good.zip"}, "no trusted key: give -p KEYFILE or -P PUBLICKEY"},
      {"no package", {"-P", key}, "no PACKAGE to verify"},
      {"-P without its key", {"good.zip", "-P"}, "option -P needs a key"},
      {"-p without its file", {"good.zip", "-p"}, "option -p needs a key"},
      {"-x without its directory", {"-P", key, "good.zip", "-x"}, "option -x needs a directory"},
      {"-x with two packages",
       {"-P", key, "-x", "out", "good.zip", "good.zip"},
       "-x takes exactly one PACKAGE, not 2"},
      {"-x twice", {"-P", key, "-x", "a", "-x", "b", "good.zip"}, "-x given more than once"},
      {"-x with an empty name",
       {"-P", key, "-x", "", "good.zip"},
       "-x needs a directory, not an empty name"},
      {"--record twice",
       {"-P", key, "--record", "a", "--record", "b", "good.zip"},
       "--record given more than once"},
      {"--record with an empty name",
       {"-P", key, "--record", "", "good.zip"},
       "--record needs a file, not an empty name"},
      {"-q with --json",
       {"-P", key, "-q", "--json", "good.zip"},
       "-q and --json exclude each other"},
      {"unknown short option", {"-P", key, "-v", "good.zip"}, "unknown option -v"},
      {"unknown long option", {"-P", key, "--quiet", "good.zip"}, "unknown option --quiet"},
      {"size without its value",
       {"-P", key, "good.zip", "--max-wasm-size"},
       "option --max-wasm-size needs a size in bytes"},
      {"size twice",
       {"-P", key, "--max-toml-size", "1K", "--max-toml-size", "1K", "good.zip"},
       "--max-toml-size given more than once"},
      {"size with a unit after its suffix",
       {"-P", key, "--max-wasm-size", "64MB", "good.zip"},
       "--max-wasm-size: invalid size \"64MB\": give digits, optionally followed by K, M or G"},
      {"size with a lower-case suffix",
       {"-P", key, "--max-wasm-size", "64m", "good.zip"},
       "--max-wasm-size: invalid size \"64m\": give digits, optionally followed by K, M or G"},
      {"negative size",
       {"-P", key, "--max-wasm-size", "-1", "good.zip"},
       "--max-wasm-size: invalid size \"-1\": give digits, optionally followed by K, M or G"},
      {"fractional size",
       {"-P", key, "--max-toml-size", "1.5K", "good.zip"},
       "--max-toml-size: invalid size \"1.5K\": give digits, optionally followed by K, M or G"},
      {"suffix alone",
       {"-P", key, "--max-toml-size", "K", "good.zip"},
       "--max-toml-size: invalid size \"K\": give digits, optionally followed by K, M or G"},
      {"empty size",
       {"-P", key, "--max-toml-size", "", "good.zip"},
       "--max-toml-size: invalid size \"\": give digits, optionally followed by K, M or G"},
      {"size past what an entry can hold",
       {"-P", key, "--max-wasm-size", "4294967297", "good.zip"},
       "--max-wasm-size: 4294967297 is more than a package entry can hold (4G at most)"},
      {"suffixed size past what an entry can hold",
       {"-P", key, "--max-wasm-size", "5G", "good.zip"},
       "--max-wasm-size: 5G is more than a package entry can hold (4G at most)"},
      {"size in MiB past what an entry can hold",
       {"-P", key, "--max-wasm-size", "4097M", "good.zip"},
       "--max-wasm-size: 4097M is more than a package entry can hold (4G at most)"},
      {"digits after the largest size",
       {"-P", key, "--max-wasm-size", "42949672960", "good.zip"},
       "--max-wasm-size: 42949672960 is more than a package entry can hold (4G at most)"},
      {"size that would wrap 64 bits",
       {"-P", key, "--max-wasm-size", "18446744073709551617", "good.zip"},
       "--max-wasm-size: 18446744073709551617 is more than a package entry can hold (4G at "
       "most)"},
      {"control character in an option, escaped",
       {"-P", key, "-\x1b[2J", "good.zip"},
       "unknown option -\\x1b[2J"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolResult r = verify(c.args);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("plugin_verify: ") + c.message + "\n" + kUsageLine);
  }
}

// The size limits of the command line are the library's: a package declaring more is refused
// before anything of it is inflated, one declaring exactly the limit verifies.
TEST_F(VerifyRun, SizeLimitsFromTheCommandLine) {
  sign("good.zip", kSamplePluginToml, std::string(2048, 'w'));
  const std::string key = test_key_.public_base64;
  const std::size_t toml_length = std::string_view(kSamplePluginToml).size();
  const std::string toml_size = std::to_string(toml_length);
  struct Case {
    const char* name;
    std::vector<std::string> limits;
    int status;
    const char* err;  // the start of standard error
  };
  const Case cases[] = {
      {"main.wasm at the limit", {"--max-wasm-size", "2K"}, 0, ""},
      {"main.wasm at the limit in bytes", {"--max-wasm-size", "2048"}, 0, ""},
      {"main.wasm one byte past the limit",
       {"--max-wasm-size", "2047"},
       2,
       "plugin_verify: good.zip: main.wasm: declared size 2048 is larger than the limit of 2047 "
       "bytes"},
      {"main.wasm past a limit of zero",
       {"--max-wasm-size", "0"},
       2,
       "plugin_verify: good.zip: main.wasm: declared size 2048 is larger than the limit of 0 "
       "bytes"},
      {"plugin.toml at the limit", {"--max-toml-size", toml_size}, 0, ""},
      {"plugin.toml one byte past the limit",
       {"--max-toml-size", std::to_string(toml_length - 1)},
       2,
       "plugin_verify: good.zip: plugin.toml: declared size"},
      {"both at the largest", {"--max-toml-size", "4G", "--max-wasm-size", "4194304K"}, 0, ""},
      {"the largest in MiB", {"--max-wasm-size", "4096M"}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"-P", key};
    args.insert(args.end(), c.limits.begin(), c.limits.end());
    args.push_back("good.zip");
    const ToolResult r = verify(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(r.err.starts_with(c.err)) << r.err;
    if (c.status == 0) {
      EXPECT_EQ(r.out, verified_line("good.zip", "demo 1.2.0"));
    }
  }
  // A plugin directory's files are held to the same limits.
  make_plugin(dir_.path() / "dir", kSamplePluginToml, std::string(2048, 'w'));
  const ToolResult r = verify({"-q", "-P", key, "--max-wasm-size", "1K", "dir"});
  EXPECT_EQ(r.status, 2);
}

TEST_F(VerifyRun, OptionsAnywhereAttachedValuesAndDoubleDash) {
  sign("good.zip");
  fs::copy_file(dir_.path() / "good.zip", dir_.path() / "-dash.zip");
  fs::copy_file(dir_.path() / "good.zip", dir_.path() / "-");
  // A lone "-" is a PACKAGE's name even before "--".
  const ToolResult r = verify({"good.zip", "-", "-P" + test_key_.public_base64, "--", "-dash.zip"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, verified_line("good.zip", "demo 1.2.0") + verified_line("-", "demo 1.2.0") +
                       verified_line("-dash.zip", "demo 1.2.0"));
}

TEST_F(VerifyRun, HelpAndVersion) {
  ToolResult r = verify({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.starts_with("usage: plugin_verify [-p KEYFILE]...")) << r.out;
  EXPECT_NE(r.out.find("Exit status"), std::string::npos);
  // --help wins over what else the command line lacks.
  EXPECT_EQ(verify({"-q", "--help"}).status, 0);
  r = verify({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "plugin_verify 1.0.0\n");
  // Help or version that cannot be written is status 3, as an unwritten result line is.
  for (const char* option : {"--help", "--version"}) {
    SCOPED_TRACE(option);
    r = run_tool({.args = {option},
                  .cwd = dir_.path(),
                  .stdout_mode = Stdout::kBrokenPipe,
                  .argv0 = "plugin_verify",
                  .binary = kPluginVerifyBinary});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "plugin_verify: failed to write to standard output\n");
  }
}

TEST_F(VerifyRun, KeyFiles) {
  sign("good.zip");
  sign("other.zip", kSamplePluginToml, kWasm, kOtherKey);
  const std::string test = test_key_.public_base64, other = other_key_.public_base64;
  struct Case {
    const char* name;
    std::string text;
    int status;  // for good.zip then other.zip
  };
  const Case cases[] = {
      {"one key", test + "\n", 1},
      {"comments, blank lines, no final line feed", "# trusted\n\n" + test + "\n# end\n\n" + other,
       0},
      {"CRLF line ends", test + "\r\n" + other + "\r\n", 0},
      {"name patterns", test + " names=demo\n" + other + " names=x,de*\n", 0},
      {"tab before the names", other + "\tnames=*\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir_.path() / "keys.txt", c.text);
    const ToolResult r = verify({"-p", "keys.txt", "good.zip", "other.zip"});
    EXPECT_EQ(r.status, c.status) << r.err;
  }
}

// The signature still verifies after unzip and zip, but the archive is no longer the one
// plugin_sign wrote: the reason names the first field that differs, and says what happened.
TEST_F(VerifyRun, ARezippedPackageIsRefusedAsNotWrittenByPluginSign) {
  if (std::system("command -v zip >/dev/null 2>&1 && command -v unzip >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no zip or unzip";
  sign("good.zip");
  const std::string command = "cd '" + dir_.path().string() +
                              "' && mkdir unpacked && cd unpacked && unzip -q ../good.zip && "
                              "zip -q -X ../rezipped.zip plugin.toml main.wasm signature.sig";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const ToolResult r = verify({"-P", test_key_.public_base64, "rezipped.zip"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "plugin_verify: rezipped.zip: plugin.toml: local header version needed 10, expected 20 "
            "(the archive is not in the layout "
            "plugin_sign writes: was it re-zipped or edited?)\n");
}

TEST_F(VerifyRun, PemKeyFileAsOpensslWritesIt) {
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl";
  sign("good.zip");
  // The seed wrapped in the fixed PKCS#8 prefix for Ed25519, as the README does it.
  const std::string command =
      "cd '" + dir_.path().string() +
      "' && { printf '\\060\\056\\002\\001\\000\\060\\005\\006\\003\\053\\145\\160\\004\\042"
      "\\004\\040'; printf %s '" +
      kTestKey + "' | base64 -d; } | openssl pkey -inform DER -pubout -out public.pem";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const ToolResult r = verify({"-p", "public.pem", "good.zip"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, verified_line("good.zip", "demo 1.2.0"));
}

TEST_F(VerifyRun, KeysThatCannotBeLoadedEndTheRunBeforeAnyPackage) {
  sign("good.zip");
  write_file(dir_.path() / "bad.txt", test_key_.public_base64 + "\n" + "not-a-key\n");
  write_file(dir_.path() / "empty.txt", "# nothing\n");
  const std::string key = test_key_.public_base64;
  // A refused key says what a key should be; a file that cannot be read does not.
  const std::string expected =
      "; expected a 44-character Base64 Ed25519 public key, as plugin_key generate writes to "
      "FILE.pub\n";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string message;
    bool key_refused;
  };
  const Case cases[] = {
      {"missing key file",
       {"-P", key, "-p", "missing.txt", "good.zip"},
       "key file missing.txt: failed to read: No such file or directory (os error 2)",
       false},
      {"key file is a directory",
       {"-p", ".", "good.zip"},
       "key file .: failed to read: Is a directory (os error 21)",
       false},
      {"invalid line", {"-p", "bad.txt", "good.zip"}, "key file bad.txt: line 2: ", true},
      {"no key in the file",
       {"-p", "empty.txt", "good.zip"},
       "key file empty.txt: no public key in the file",
       true},
      {"short -P key", {"-P", key.substr(4), "good.zip"}, "-P " + key.substr(4) + ": ", true},
      {"-P key with a line feed", {"-P", key + "\n", "good.zip"}, "-P " + key + "\\n: ", true},
      {"-P \"$(cat k.pub)\"",
       {"-P", "# plugin_sign public key\n" + key, "good.zip"},
       "-P # plugin_sign public key\\n" + key +
           ": public key is not valid base64: Invalid symbol 35, offset 0.",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolResult r = verify(c.args);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("plugin_verify: " + c.message)) << r.err;
    EXPECT_EQ(c.key_refused, r.err.ends_with(expected)) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// Anyone on the machine could add a key to a file every user can write, so it decides
// nothing; a group-writable file is as private as its group, and common with user groups.
TEST_F(VerifyRun, KeyFileEveryUserCanWriteIsRefused) {
  sign("good.zip");
  write_file(dir_.path() / "keys.txt", test_key_.public_base64 + "\n");
  struct Case {
    mode_t mode;
    int status;
  };
  for (const Case c : {Case{0666, 3}, Case{0602, 3}, Case{0664, 0}, Case{0644, 0}}) {
    SCOPED_TRACE(std::to_string(c.mode));
    ASSERT_EQ(::chmod((dir_.path() / "keys.txt").c_str(), c.mode), 0);
    const ToolResult r = verify({"-p", "keys.txt", "good.zip"});
    EXPECT_EQ(r.status, c.status);
    if (c.status == 3) {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err,
                "plugin_verify: key file keys.txt: refused, every user can write to it "
                "(chmod o-w keys.txt)\n");
    } else {
      EXPECT_EQ(r.out, verified_line("good.zip", "demo 1.2.0"));
      EXPECT_EQ(r.err, "");
    }
  }
  // The file the name leads to is what counts, not a link to it.
  ASSERT_EQ(::chmod((dir_.path() / "keys.txt").c_str(), 0646), 0);
  fs::create_symlink("keys.txt", dir_.path() / "link.txt");
  const ToolResult r = verify({"-p", "link.txt", "good.zip"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "plugin_verify: key file link.txt: refused, every user can write to it "
            "(chmod o-w link.txt)\n");
}

// A key or revocation file of mode 0644 in a directory every user can write (no sticky bit)
// could be replaced by any user: emptying the revocation file would make a revoked key verify
// again. Refused, naming the directory and the fix; the sticky /tmp is fine.
TEST_F(VerifyRun, TrustFilesInADirectoryOthersCanWriteAreRefused) {
  sign("good.zip");
  const fs::path shared = dir_.path() / "shared";
  fs::create_directory(shared);
  write_file(shared / "keys.txt", test_key_.public_base64 + "\n");
  write_file(shared / "revoked.txt", "key-id " + test_key_.key_id + "\n");
  for (const char* name : {"keys.txt", "revoked.txt"})
    ASSERT_EQ(::chmod((shared / name).c_str(), 0644), 0);
  const std::string dir = fs::canonical(shared).string();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {"key file",
       {"-p", "shared/keys.txt", "good.zip"},
       "plugin_verify: key file shared/keys.txt: refused, every user can write to directory " +
           dir + " (chmod go-w " + dir + ")\n"},
      {"revocation file",
       {"-P", test_key_.public_base64, "-r", "shared/revoked.txt", "good.zip"},
       "plugin_verify: revocation file shared/revoked.txt: refused, every user can write to "
       "directory " +
           dir + " (chmod go-w " + dir + ")\n"},
  };
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolResult r = verify(c.args);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
  // With the sticky bit nobody else can replace the user's files there.
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  EXPECT_EQ(verify({"-q", "-p", "shared/keys.txt", "good.zip"}).status, 0);
  EXPECT_EQ(
      verify({"-q", "-P", test_key_.public_base64, "-r", "shared/revoked.txt", "good.zip"}).status,
      1);
}

TEST_F(VerifyRun, JsonLinesForEveryPackage) {
  sign("good.zip");
  sign("other.zip", kSamplePluginToml, kWasm, kOtherKey);
  const ToolResult r =
      verify({"--json", "-P", test_key_.public_base64, "good.zip", "other.zip", "missing\n.zip"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "");
  std::vector<JsonValue> objects;
  for (std::size_t at = 0; at < r.out.size();) {
    const std::size_t end = r.out.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    auto parsed = parse_json(r.out.substr(at, end - at));
    ASSERT_TRUE(parsed.has_value()) << r.out.substr(at, end - at);
    objects.push_back(std::move(*parsed));
    at = end + 1;
  }
  ASSERT_EQ(objects.size(), 3u);
  auto text_of = [](const JsonValue& object, std::string_view key) {
    for (const auto& [name, value] : object.members)
      if (name == key)
        return value.kind == JsonValue::Kind::kNull ? std::string("null") : value.text;
    return std::string("(absent)");
  };
  const JsonValue& good = objects[0];
  std::vector<std::string> keys;
  for (const auto& member : good.members) keys.push_back(member.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"schema", "package", "status", "exit_status", "name",
                                            "version", "key_id", "plugin_toml_sha256",
                                            "main_wasm_sha256", "manifest_sha256", "error"}));
  EXPECT_EQ(text_of(good, "schema"), "1");
  EXPECT_EQ(text_of(good, "package"), "good.zip");
  EXPECT_EQ(text_of(good, "status"), "verified");
  EXPECT_EQ(text_of(good, "exit_status"), "0");
  EXPECT_EQ(text_of(good, "name"), "demo");
  EXPECT_EQ(text_of(good, "version"), "1.2.0");
  EXPECT_EQ(text_of(good, "key_id"), test_key_.key_id);
  EXPECT_EQ(text_of(good, "plugin_toml_sha256"), sha256_hex(kSamplePluginToml));
  EXPECT_EQ(text_of(good, "main_wasm_sha256"), sha256_hex(kWasm));
  EXPECT_EQ(text_of(good, "manifest_sha256"),
            sha256_hex("{\"plugin.toml\":\"" + sha256_hex(kSamplePluginToml) +
                       "\",\"main.wasm\":\"" + sha256_hex(kWasm) + "\"}"));
  EXPECT_EQ(text_of(good, "error"), "null");

  EXPECT_EQ(text_of(objects[1], "status"), "failed");
  EXPECT_EQ(text_of(objects[1], "exit_status"), "1");
  EXPECT_EQ(text_of(objects[1], "key_id"), "null");
  EXPECT_EQ(text_of(objects[2], "package"), "missing\n.zip");
  EXPECT_EQ(text_of(objects[2], "exit_status"), "3");
}

TEST_F(VerifyRun, QuietPrintsNothingAndKeepsTheStatus) {
  sign("good.zip");
  sign("other.zip", kSamplePluginToml, kWasm, kOtherKey);
  const std::string key = test_key_.public_base64;
  ToolResult r = verify({"-q", "-P", key, "good.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  r = verify({"-q", "-P", key, "good.zip", "other.zip", "missing.zip"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out + r.err, "");
}

TEST_F(VerifyRun, HostilePathAndNameStayOnOneLine) {
  // A line feed in a name does not verify; a line separator, U+2028, does.
  sign("evil.zip",
       "[package]\nname = \"x\\u2028/tmp/a.zip: verified good 1.0, key 00\"\nversion = "
       "\"1\"\n");
  fs::copy_file(dir_.path() / "evil.zip", dir_.path() / "two\nlines.zip");
  const ToolResult r = verify({"-P", test_key_.public_base64, "two\nlines.zip", "no\x1b[2J.zip"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out,
            "two\\nlines.zip: verified x\\xe2\\x80\\xa8/tmp/a.zip:\\x20verified\\x20good\\x201.0,"
            "\\x20key\\x2000 1, key " +
                test_key_.key_id + "\n");
  EXPECT_EQ(r.err,
            "plugin_verify: no\\x1b[2J.zip: failed to read: No such file or directory (os error "
            "2)\n");
}

TEST_F(VerifyRun, BrokenStandardOutputIsStatusThree) {
  sign("good.zip");
  const ToolResult r = run_tool({.args = {"-P", test_key_.public_base64, "good.zip"},
                                 .cwd = dir_.path(),
                                 .stdout_mode = Stdout::kBrokenPipe,
                                 .argv0 = "plugin_verify",
                                 .binary = kPluginVerifyBinary});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "plugin_verify: failed to write a package's result\n");
}

// Out of memory, wherever it happens, is status 3 and one line: here the keys of a large key
// file, and then the bytes of a package, within an address space too small for them.
TEST_F(VerifyRun, OutOfMemoryIsStatusThreeAndOneLine) {
  if (PLUGIN_SIGN_SANITIZED) GTEST_SKIP() << "the sanitizers reserve more than the limit";
  constexpr std::uint64_t kLimit = std::uint64_t{12} << 20;
  std::string many_lines;
  while (many_lines.size() < 1000000) many_lines += "#\n";
  write_file(dir_.path() / "keys.txt", many_lines + test_key_.public_base64 + "\n");
  std::string wasm(8 << 20, '\0');
  std::uint32_t state = 1;
  for (char& c : wasm) c = static_cast<char>((state = state * 1664525u + 1013904223u) >> 24);
  sign("large.zip", kSamplePluginToml, wasm);
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"the keys of a large key file", {"-p", "keys.txt", "large.zip"}},
      {"the package's bytes", {"-P", test_key_.public_base64, "large.zip"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolResult r = run_tool({.args = c.args,
                                   .cwd = dir_.path(),
                                   .argv0 = "plugin_verify",
                                   .address_space_limit = kLimit,
                                   .binary = kPluginVerifyBinary});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("plugin_verify: ")) << r.err;
    EXPECT_NE(r.err.find("out of memory"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  // A plugin directory's file too: a file that did not fit is out of memory, not unreadable.
  const ToolResult dir =
      run_tool({.args = {"--json", "-P", test_key_.public_base64, "plugin-of-large.zip"},
                .cwd = dir_.path(),
                .argv0 = "plugin_verify",
                .address_space_limit = kLimit,
                .binary = kPluginVerifyBinary});
  EXPECT_EQ(dir.status, 3) << dir.err;
  EXPECT_NE(dir.out.find("\"kind\":\"out_of_memory\""), std::string::npos) << dir.out;
  // Without the limit both verify.
  EXPECT_EQ(verify({"-q", "-p", "keys.txt", "large.zip"}).status, 0);
}

// What a package makes plugin_verify hold before its signature verified is bounded by the
// package's own size, 16 times it plus 16 MiB, never by the sizes its entries declare; what a
// package verified gets is its module, once.
TEST_F(VerifyRun, MemoryBeforeTheSignatureIsBoundedByThePackage) {
  if (PLUGIN_SIGN_SANITIZED) GTEST_SKIP() << "the sanitizers' shadow memory is resident too";
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  // Modules of zeros, as sparse files: DEFLATE's best case, about 1000 bytes to one.
  auto sign_zeros = [&](const std::string& zip, std::uint64_t size, const char* key) {
    const fs::path plugin = dir_.path() / ("plugin-of-" + zip);
    make_plugin(plugin, kSamplePluginToml, "");
    fs::resize_file(plugin / "main.wasm", size);
    const ToolResult r = run_tool({.args = {plugin.string(), zip}, .key = key, .cwd = dir_.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    fs::remove(plugin / "main.wasm");
    return read_file(dir_.path() / zip);
  };
  const std::string zeros = sign_zeros("zeros.zip", 256 * kMiB, kTestKey);
  // A real bomb: 512 MiB of zeros, every check passing until the signature, which no trusted
  // key made.
  sign_zeros("bomb.zip", 512 * kMiB, kOtherKey);
  // 256 MiB declared, within the ratio DEFLATE allows, and data invalid at its first byte (a
  // reserved block type).
  auto le32 = [&zeros](std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(zeros[at + i]);
    return value;
  };
  const std::size_t wasm_header = 30 + std::strlen("plugin.toml") + le32(18);
  std::string invalid = zeros;
  invalid[wasm_header + 30 + std::strlen("main.wasm")] = '\xFF';
  write_file(dir_.path() / "invalid.zip", invalid);

  struct Case {
    const char* name;
    const char* package;
    int status;
    std::uint64_t bound;  // bytes of the resident set, beyond the package's own
  };
  const Case cases[] = {
      {"declared 256 MiB, invalid data", "invalid.zip", 2, 0},
      {"a bomb signed by an untrusted key", "bomb.zip", 1, 0},
      {"256 MiB of zeros, signed", "zeros.zip", 0, 256 * kMiB + 8 * kMiB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t size = fs::file_size(dir_.path() / c.package);
    EXPECT_LT(size, 600'000u);
    const ToolResult r = verify({"-q", "-P", test_key_.public_base64, c.package});
    EXPECT_EQ(r.status, c.status) << r.err;
    const std::uint64_t bound = c.bound == 0 ? 16 * size + 16 * kMiB : size + c.bound;
    EXPECT_LE(r.peak_rss, bound) << "peak " << r.peak_rss / kMiB << " MiB, package " << size;
  }
}

// A package refused for its name needs only plugin.toml: its module is never inflated, so it
// costs what a package with a bad signature costs, whatever the module it declares.
TEST_F(VerifyRun, APackageRefusedForItsNameNeverGetsItsModule) {
  if (PLUGIN_SIGN_SANITIZED) GTEST_SKIP() << "the sanitizers' shadow memory is resident too";
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  const fs::path plugin = dir_.path() / "evil";
  make_plugin(plugin, "[package]\nname = \"evil\"\nversion = \"1.0.0\"\n", "");
  fs::resize_file(plugin / "main.wasm", 256 * kMiB);
  const ToolResult signed_run =
      run_tool({.args = {plugin.string(), "evil.zip"}, .key = kTestKey, .cwd = dir_.path()});
  ASSERT_EQ(signed_run.status, 0) << signed_run.err;
  fs::remove(plugin / "main.wasm");
  write_file(dir_.path() / "hello-only.txt", test_key_.public_base64 + " names=hello\n");
  write_file(dir_.path() / "revoked.txt", "key-id " + test_key_.key_id + "\n");
  ::chmod((dir_.path() / "hello-only.txt").c_str(), 0600);
  ::chmod((dir_.path() / "revoked.txt").c_str(), 0600);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* kind;
  };
  const Case cases[] = {
      {"a key trusted only for another name", {"-p", "hello-only.txt"}, "name_not_allowed"},
      {"another name than expected",
       {"-P", test_key_.public_base64, "--name", "hello"},
       "name_mismatch"},
      {"a revoked key", {"-P", test_key_.public_base64, "-r", "revoked.txt"}, "revoked"},
  };
  const std::uint64_t size = fs::file_size(dir_.path() / "evil.zip");
  ASSERT_LT(size, 600'000u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--json", "evil.zip"});
    const ToolResult r = verify(args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find(std::string("\"kind\":\"") + c.kind + "\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"name\":\"evil\""), std::string::npos) << r.out;
    EXPECT_LE(r.peak_rss, 16 * size + 16 * kMiB)
        << "peak " << r.peak_rss / kMiB << " MiB, package " << size;
  }
}

TEST_F(VerifyRun, ExtractWritesExactlyTheVerifiedBytes) {
  const std::string toml = std::string(kSamplePluginToml) + "# more\n";
  const fs::path package = sign("good.zip", toml);
  const std::string signature = read_file(dir_.path() / "plugin-of-good.zip" / "signature.sig");
  // The umask narrows the modes; with none, nobody else may write what was verified.
  const struct {
    const char* dir;
    ::mode_t umask, dir_mode, file_mode;
  } cases[] = {{"out", 027, 0750, 0640}, {"out0", 0, 0755, 0644}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    const ::mode_t old_umask = ::umask(c.umask);
    const ToolResult r = verify({"-P", test_key_.public_base64, "-x", c.dir, "good.zip"});
    ::umask(old_umask);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, verified_line("good.zip", "demo 1.2.0"));
    const fs::path out = dir_.path() / c.dir;
    EXPECT_EQ(names_in(out),
              (std::vector<std::string>{"main.wasm", "plugin.toml", "signature.sig"}));
    EXPECT_EQ(read_file(out / "plugin.toml"), toml);
    EXPECT_EQ(read_file(out / "main.wasm"), kWasm);
    EXPECT_EQ(read_file(out / "signature.sig"), signature);
    struct stat status {};
    ASSERT_EQ(::stat(out.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, c.dir_mode);
    for (const char* name : {"plugin.toml", "main.wasm", "signature.sig"}) {
      ASSERT_EQ(::stat((out / name).c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 07777, c.file_mode) << name;
    }
    // The extracted directory is itself a plugin directory that verifies.
    EXPECT_EQ(verify({"-q", "-P", test_key_.public_base64, c.dir}).status, 0);
  }
}

TEST_F(VerifyRun, ExtractFromADirectoryIntoAnExistingEmptyDirectory) {
  sign("good.zip");
  fs::create_directory(dir_.path() / "out");
  const ToolResult r = verify({"-P", test_key_.public_base64, "-x", "out/", "plugin-of-good.zip"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir_.path() / "out" / "main.wasm"), kWasm);
}

TEST_F(VerifyRun, ExtractRefusesAnExistingFileAndWritesNothing) {
  sign("good.zip");
  fs::create_directory(dir_.path() / "out");
  write_file(dir_.path() / "out" / "main.wasm", "mine");
  fs::create_directory(dir_.path() / "out2");
  fs::create_symlink("../target", dir_.path() / "out2" / "signature.sig");
  ToolResult r = verify({"-P", test_key_.public_base64, "-x", "out", "good.zip"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(
      r.err,
      "plugin_verify: good.zip: failed to extract out/main.wasm: File exists (os error 17)\n");
  EXPECT_EQ(names_in(dir_.path() / "out"), (std::vector<std::string>{"main.wasm"}));
  EXPECT_EQ(read_file(dir_.path() / "out" / "main.wasm"), "mine");

  r = verify({"-P", test_key_.public_base64, "-x", "out2", "good.zip"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(names_in(dir_.path() / "out2"), (std::vector<std::string>{"signature.sig"}));
  EXPECT_FALSE(fs::exists(dir_.path() / "target"));
}

// An existing DIR that someone else controls would let them replace main.wasm once it was
// verified and written: refused, with what to do, and nothing written.
TEST_F(VerifyRun, ExtractRefusesADirectoryOthersControl) {
  sign("good.zip");
  const fs::path own = dir_.path() / "own";
  fs::create_directory(own);
  ::chmod(own.c_str(), 0700);
  struct Case {
    const char* name;
    const char* dir;
    ::mode_t mode;
    bool someone_else;  // owned by user 65534
    const char* reason;
  };
  const Case cases[] = {
      {"writable by everyone", "open", 0777, false,
       "others can write to it; run chmod go-w open, or extract into a new directory"},
      {"writable by its group", "group", 0775, false,
       "others can write to it; run chmod go-w group, or extract into a new directory"},
      {"writable by everyone but its group", "others", 0757, false,
       "others can write to it; run chmod go-w others, or extract into a new directory"},
      {"sticky and writable by everyone", "sticky", 01777, false,
       "others can write to it; run chmod go-w sticky, or extract into a new directory"},
      {"another user's", "theirs", 0755, true,
       "it is owned by user 65534, not by you; extract into a new directory, or one of your "
       "own"},
      {"a link to one's own directory", "link", 0, false,
       "it is a symbolic link; name the directory itself, or a new one"},
      {"a link, named with a slash", "link/", 0, false,
       "it is a symbolic link; name the directory itself, or a new one"},
      {"a one-letter link, named with a slash", "l/", 0, false,
       "it is a symbolic link; name the directory itself, or a new one"},
      {"a file", "file", 0, false, "it is not a directory; name a directory, or a new one"},
  };
  fs::create_directory_symlink("own", dir_.path() / "link");
  fs::create_directory_symlink("own", dir_.path() / "l");
  write_file(dir_.path() / "file", "mine");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = dir_.path() / c.dir;
    if (c.mode != 0) {
      fs::create_directory(dir);
      ASSERT_EQ(::chmod(dir.c_str(), c.mode), 0);
    }
    if (c.someone_else) {
      if (::geteuid() != 0) continue;  // only root can give a directory away
      ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
    }
    const ToolResult r = verify({"-P", test_key_.public_base64, "-x", c.dir, "good.zip"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("plugin_verify: good.zip: refusing to extract into ") + c.dir +
                         ": " + c.reason + "\n");
    if (fs::is_regular_file(dir))
      EXPECT_EQ(read_file(dir), "mine");
    else
      EXPECT_EQ(names_in(dir), std::vector<std::string>{});
  }
  EXPECT_EQ(names_in(own), std::vector<std::string>{});
  // The root directory, "/" (all slashes, none to take away), is root's: another user is told
  // so. That user runs a copy of the tool from a directory everyone may enter.
  ScratchDir shared;
  fs::permissions(shared.path(), fs::perms(0755));
  const fs::path binary = shared.path() / "plugin_verify";
  fs::copy_file(kPluginVerifyBinary, binary);
  fs::permissions(binary, fs::perms(0755));
  fs::copy_file(dir_.path() / "good.zip", shared.path() / "good.zip");
  fs::permissions(shared.path() / "good.zip", fs::perms(0644));
  const ToolResult root = run_tool({.args = {"-P", test_key_.public_base64, "-x", "/", "good.zip"},
                                    .cwd = shared.path(),
                                    .argv0 = "plugin_verify",
                                    .as_nobody = true,
                                    .binary = binary.string()});
  EXPECT_EQ(root.status, 3);
  EXPECT_EQ(root.err,
            "plugin_verify: good.zip: refusing to extract into /: it is owned by user 0, not by "
            "you; extract into a new directory, or one of your own\n");
  // One's own directory that only one can write to is fine.
  const ToolResult r = verify({"-q", "-P", test_key_.public_base64, "-x", "own", "good.zip"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(own / "main.wasm"), kWasm);
}

TEST_F(VerifyRun, ExtractWritesNothingForAPackageThatFails) {
  sign("other.zip", kSamplePluginToml, kWasm, kOtherKey);
  const ToolResult r = verify({"-P", test_key_.public_base64, "-x", "out", "other.zip"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(dir_.path() / "out"));
}

TEST_F(VerifyRun, ExtractIntoAMissingParentFailsAndLeavesNothing) {
  sign("good.zip");
  const ToolResult r =
      verify({"--json", "-P", test_key_.public_base64, "-x", "no/out", "good.zip"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "");
  const auto parsed = parse_json(r.out);
  ASSERT_TRUE(parsed.has_value()) << r.out;
  EXPECT_NE(r.out.find("\"kind\":\"extract_failed\",\"message\":\"failed to create directory "
                       "no/out: No such file or directory (os error 2)\""),
            std::string::npos)
      << r.out;
  // What the signature established is still reported.
  EXPECT_NE(r.out.find("\"name\":\"demo\""), std::string::npos);
  EXPECT_FALSE(fs::exists(dir_.path() / "no"));
}

}  // namespace
}  // namespace plugin_sign::testing
