// verify.cpp — package bytes and trusted keys to a verified package (plugin_sign/verify.hpp).
#include "plugin_sign/verify.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "archive/zip_reader.hpp"
#include "io/file_io.hpp"
#include "plugin/plugin_toml.hpp"
#include "plugin/semver.hpp"
#include "signing/manifest.hpp"
#include "signing/signature.hpp"
#include "verify/version_record.hpp"

namespace plugin_sign {
namespace {

std::unexpected<VerifyError> failure(VerifyErrorKind kind, std::string message) {
  return std::unexpected(VerifyError{.kind = kind, .message = std::move(message)});
}

PackageSizeLimits size_limits(const VerifyLimits& limits) {
  return {.plugin_toml = limits.plugin_toml, .main_wasm = limits.main_wasm};
}

VerifiedBytes verified(ByteBuffer buffer) {
  auto owner = std::make_shared<const ByteBuffer>(std::move(buffer));
  const std::span<const std::byte> bytes = owner->bytes();
  return VerifiedBytes(std::move(owner), bytes);
}

std::string_view as_text(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The parser's report on one line: its first line and, when longer, its last.
std::string one_line(std::string_view report) {
  while (report.ends_with('\n')) report.remove_suffix(1);
  const std::size_t first_end = report.find('\n');
  if (first_end == std::string_view::npos) return std::string(report);
  return std::string(report.substr(0, first_end)) + ": " +
         std::string(report.substr(report.rfind('\n') + 1));
}

// Every failure once the signature verified goes through here, so that each carries what the
// signature established: a host logs which key signed the package it refused.
std::unexpected<VerifyError> refuse_after_signature(VerifyError error, const SignedFacts& facts) {
  error.facts = facts;
  return std::unexpected(std::move(error));
}

std::unexpected<VerifyError> refuse_after_signature(VerifyErrorKind kind, std::string message,
                                                    const SignedFacts& facts) {
  return refuse_after_signature(VerifyError{.kind = kind, .message = std::move(message)}, facts);
}

// The first verifying key that may sign `name`, by index; none when no key may.
std::optional<std::size_t> allowed_key(std::span<const TrustedKey> keys,
                                       const std::vector<std::size_t>& verifying,
                                       std::string_view name) {
  for (std::size_t i : verifying)
    if (allows_name(keys[i], name)) return i;
  return std::nullopt;
}

bool contains(const std::vector<std::string>& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool is_revoked(const Revocations& revocations, const PublicKey& key) {
  return std::find(revocations.keys.begin(), revocations.keys.end(), key) !=
             revocations.keys.end() ||
         contains(revocations.key_ids, key_id(key));
}

// Any revoked key among those that verify refuses the package: a revoked key's signature is
// worth nothing, and another entry trusting the same signature cannot make it worth more.
std::expected<void, VerifyError> check_revocations(const Revocations* revocations,
                                                   std::span<const TrustedKey> keys,
                                                   const std::vector<std::size_t>& verifying,
                                                   SignedFacts& facts) {
  if (revocations == nullptr) return {};
  for (std::size_t i : verifying)
    if (is_revoked(*revocations, keys[i].key)) {
      facts.key = keys[i].key;
      return refuse_after_signature(VerifyErrorKind::kRevoked,
                                    "key " + key_id(keys[i].key) + " is revoked", facts);
    }
  if (contains(revocations->packages, facts.manifest_sha256))
    return refuse_after_signature(VerifyErrorKind::kRevoked,
                                  "package " + facts.manifest_sha256 + " is revoked", facts);
  return {};
}

// A "below" entry refuses every lower version of its name; a version that is not a semantic
// version cannot be shown to be at least the floor, so it is refused too.
std::expected<void, VerifyError> check_version_floor(const Revocations* revocations,
                                                     const SignedFacts& facts) {
  if (revocations == nullptr) return {};
  const std::string& name = *facts.name;
  const std::string& version = *facts.version;
  for (const VersionFloor& floor : revocations->floors) {
    if (floor.name != name) continue;
    const std::optional<int> order = compare_semver(version, floor.version);
    if (!order || *order < 0)
      return refuse_after_signature(
          VerifyErrorKind::kRevoked,
          name + " " + version + " is revoked (below " + floor.version + ")", facts);
  }
  return {};
}

// The record, locked and checked: held until the package is accepted, so that the update
// that follows sees nothing another process changed in between. None without a record.
std::expected<std::optional<LockedVersionRecord>, VerifyError> check_version_record(
    const VerifyOptions& options, const RecordCandidate& candidate) {
  if (!options.record) return std::nullopt;
  auto record = LockedVersionRecord::open(*options.record, candidate.name);
  if (!record) return std::unexpected(record.error());
  if (auto checked = record->check(candidate, options.revocations); !checked)
    return std::unexpected(checked.error());
  return std::move(*record);
}

// The last step, once nothing can refuse the package any more.
std::expected<void, VerifyError> record_version(std::optional<LockedVersionRecord>& record,
                                                const RecordCandidate& candidate) {
  if (!record) return {};
  return record->add(candidate);
}

// The signature over the manifest of the two digests: the keys that verify it, by index.
// Fills in the package's digests and identity.
std::expected<std::vector<std::size_t>, VerifyError> check_signature(
    std::span<const std::byte> signature_text, std::span<const TrustedKey> keys,
    VerifiedPackage& package) {
  if (!initialise_crypto())
    return failure(VerifyErrorKind::kUnreadable, "the crypto library could not start");
  auto signature = decode_signature_text(as_text(signature_text));
  if (!signature) return failure(VerifyErrorKind::kMalformed, signature.error());
  const std::string manifest = serialize_manifest({.plugin_toml_sha256 = package.plugin_toml_sha256,
                                                   .main_wasm_sha256 = package.main_wasm_sha256});
  package.manifest_sha256 = sha256_hex(std::as_bytes(std::span(manifest)));
  std::vector<std::size_t> verifying;
  for (std::size_t i = 0; i < keys.size(); ++i)
    if (verify_signature(keys[i].key, std::as_bytes(std::span(manifest)), *signature))
      verifying.push_back(i);
  if (verifying.empty())
    return failure(VerifyErrorKind::kBadSignature, "signature does not match any trusted key");
  return verifying;
}

// A name or version with a control character reads differently wherever it is shown: a NUL
// ends it early for a C host, which would then check a key's scope against a name it never
// shows. The first one found, as "U+001B".
std::optional<std::string> control_character(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      return std::string("U+00") + kDigits[byte >> 4] + kDigits[byte & 0xF];
    }
  }
  return std::nullopt;
}

// plugin.toml's name and version, or why they are no name and version a host could show or
// match: an empty name would match a "*" pattern and show as nothing.
std::expected<PackageNameVersion, std::string> read_name_version(
    std::span<const std::byte> plugin_toml) {
  auto name_version = read_package_name_version(plugin_toml);
  if (!name_version)
    return std::unexpected("invalid plugin.toml: " + one_line(name_version.error()));
  if (name_version->name.empty())
    return std::unexpected("invalid plugin.toml: package name is empty");
  const std::pair<const char*, const std::string*> fields[] = {{"name", &name_version->name},
                                                               {"version", &name_version->version}};
  for (const auto& [field, text] : fields)
    if (auto found = control_character(*text))
      return std::unexpected("invalid plugin.toml: package " + std::string(field) +
                             " contains control character " + *found);
  return name_version;
}

// A host that asked for one package must not load another that happens to be signed too.
std::expected<void, VerifyError> check_expected_name(std::optional<std::string_view> expected,
                                                     const SignedFacts& facts) {
  if (!expected || *facts.name == *expected) return {};
  return refuse_after_signature(
      VerifyErrorKind::kNameMismatch,
      "package name " + *facts.name + ", expected " + std::string(*expected), facts);
}

// Everything plugin.toml decides, once the signature verified and before main.wasm is had:
// revocations, the name and version, a verifying key allowed for the name, the name the host
// asked for. Fills in `facts` as it learns them; the key allowed for the name on success.
std::expected<PublicKey, VerifyError> check_signed_plugin_toml(
    std::span<const std::byte> plugin_toml, std::span<const TrustedKey> keys,
    const std::vector<std::size_t>& verifying, const VerifyOptions& options, SignedFacts& facts) {
  // Parsed only now: until the signature verified, plugin.toml was an attacker's text.
  auto name_version = read_name_version(plugin_toml);
  if (name_version) {
    facts.name = name_version->name;
    facts.version = name_version->version;
  }
  if (auto not_revoked = check_revocations(options.revocations, keys, verifying, facts);
      !not_revoked)
    return std::unexpected(not_revoked.error());
  if (!name_version)
    return refuse_after_signature(VerifyErrorKind::kMalformed, name_version.error(), facts);
  const std::optional<std::size_t> allowed = allowed_key(keys, verifying, *facts.name);
  if (!allowed)
    return refuse_after_signature(VerifyErrorKind::kNameNotAllowed,
                                  "key " + key_id(facts.key) +
                                      " verifies the signature but is not trusted for package "
                                      "name " +
                                      *facts.name,
                                  facts);
  facts.key = keys[*allowed].key;
  if (auto expected = check_expected_name(options.expected_name, facts); !expected)
    return std::unexpected(expected.error());
  if (auto floor = check_version_floor(options.revocations, facts); !floor)
    return std::unexpected(floor.error());
  return facts.key;
}

// After the signature verified, the same for an archive and a directory: plugin.toml
// (`plugin_toml()`, small by its limit) and what it decides, and only then main.wasm
// (`main_wasm()`), which may be what costs the memory.
template <typename PluginToml, typename MainWasm>
std::expected<VerifiedPackage, VerifyError> accept_signed(
    VerifiedPackage package, ByteBuffer signature_text, std::span<const TrustedKey> keys,
    const std::vector<std::size_t>& verifying, const VerifyOptions& options,
    PluginToml&& plugin_toml, MainWasm&& main_wasm) {
  SignedFacts facts{.name = std::nullopt,
                    .version = std::nullopt,
                    .key = keys[verifying.front()].key,
                    .plugin_toml_sha256 = package.plugin_toml_sha256,
                    .main_wasm_sha256 = package.main_wasm_sha256,
                    .manifest_sha256 = package.manifest_sha256};
  std::expected<ByteBuffer, VerifyError> toml = plugin_toml();
  if (!toml) return refuse_after_signature(std::move(toml.error()), facts);
  auto key = check_signed_plugin_toml(toml->bytes(), keys, verifying, options, facts);
  if (!key) return std::unexpected(key.error());
  const std::string signer = key_id(*key);
  const RecordCandidate candidate{.name = *facts.name,
                                  .version = *facts.version,
                                  .key_id = signer,
                                  .manifest_sha256 = package.manifest_sha256};
  auto record = check_version_record(options, candidate);
  if (!record) return refuse_after_signature(std::move(record.error()), facts);
  auto wasm = main_wasm();
  if (!wasm) return refuse_after_signature(std::move(wasm.error()), facts);

  package.key = *key;
  package.plugin_toml = verified(std::move(*toml));
  package.main_wasm = verified(std::move(*wasm));
  package.signature = verified(std::move(signature_text));
  if (auto recorded = record_version(*record, candidate); !recorded)
    return refuse_after_signature(std::move(recorded.error()), facts);
  package.name = std::move(*facts.name);
  package.version = std::move(*facts.version);
  return package;
}

// Contents already in hand (a plugin directory): digests, signature, then the rest.
std::expected<VerifiedPackage, VerifyError> verify_contents(ByteBuffer plugin_toml,
                                                            ByteBuffer main_wasm,
                                                            ByteBuffer signature_text,
                                                            std::span<const TrustedKey> keys,
                                                            const VerifyOptions& options) {
  VerifiedPackage package;
  package.plugin_toml_sha256 = sha256_hex(plugin_toml.bytes());
  package.main_wasm_sha256 = sha256_hex(main_wasm.bytes());
  auto verifying = check_signature(signature_text.bytes(), keys, package);
  if (!verifying) return std::unexpected(verifying.error());
  using Read = std::expected<ByteBuffer, VerifyError>;
  return accept_signed(
      std::move(package), std::move(signature_text), keys, *verifying, options,
      [&]() -> Read { return std::move(plugin_toml); },
      [&]() -> Read { return std::move(main_wasm); });
}

VerifyErrorKind kind_of(ZipReadError::Kind kind) {
  switch (kind) {
    case ZipReadError::Kind::kTooLarge:
      return VerifyErrorKind::kTooLarge;
    case ZipReadError::Kind::kOutOfMemory:
      return VerifyErrorKind::kOutOfMemory;
    case ZipReadError::Kind::kMalformed:
      break;
  }
  return VerifyErrorKind::kMalformed;
}

// The reader's exact field, and for a layout fault what it most likely means: the signature
// covers only the contents, so a package that was unpacked and packed again by another tool
// carries a valid signature in an archive the verifier will not take.
std::string reason_of(const ZipReadError& error) {
  if (!error.layout) return error.message;
  return error.message +
         " (the archive is not in the layout plugin_sign writes: was it re-zipped or edited?)";
}

std::unexpected<VerifyError> read_failure(const ZipReadError& error) {
  return failure(kind_of(error.kind), reason_of(error));
}

// Feeds a stream's content to the hash, a window at a time.
class HashingSink final : public InflateSink {
 public:
  void take(std::span<const std::byte> bytes) override { hash_.update(bytes); }
  [[nodiscard]] std::string hex() { return hash_.hex(); }

 private:
  Sha256 hash_;
};

// An archive entry before the signature verified: its digest, and its content when it was
// cheap enough to inflate whole (`inflates_whole`). The rest waits for the signature, so that
// what a package declares never decides what it gets before then.
struct DigestedEntry {
  std::string sha256;
  std::optional<ByteBuffer> content;
  /// A streamed entry's compressed bytes, copied: inflated a second time after the signature,
  /// they must be the bytes that were hashed, and the caller's buffer may change in between.
  ByteBuffer compressed;
};

// At most the package's own size, so the bound before the signature holds.
std::expected<ByteBuffer, VerifyError> private_copy(std::span<const std::byte> bytes) {
  ByteBuffer copy;
  if (!copy.reserve(bytes.size())) return failure(VerifyErrorKind::kOutOfMemory, "out of memory");
  std::copy(bytes.begin(), bytes.end(), copy.spare().begin());
  copy.commit(bytes.size());
  return copy;
}

std::expected<DigestedEntry, VerifyError> digest_entry(const LocatedEntry& entry) {
  if (inflates_whole(entry)) {
    // Hashed as it is inflated: on a second core, while the rest is still being inflated.
    HashingSink hashing;
    auto content = inflate_entry(entry, hashing);
    if (!content) return read_failure(content.error());
    return DigestedEntry{.sha256 = hashing.hex(), .content = std::move(*content), .compressed = {}};
  }
  auto compressed = private_copy(entry.data);
  if (!compressed) return std::unexpected(compressed.error());
  HashingSink sink;
  const LocatedEntry copied{.record = entry.record, .data = compressed->bytes()};
  if (auto streamed = stream_entry(copied, sink); !streamed) return read_failure(streamed.error());
  return DigestedEntry{
      .sha256 = sink.hex(), .content = std::nullopt, .compressed = std::move(*compressed)};
}

// The three entries in archive order, so that the first fault is the reader's first.
std::expected<std::array<DigestedEntry, 3>, VerifyError> digest_entries(
    const std::array<LocatedEntry, 3>& entries) {
  std::array<DigestedEntry, 3> digested;
  for (std::size_t i = 0; i < digested.size(); ++i) {
    auto digest = digest_entry(entries[i]);
    if (!digest) return std::unexpected(digest.error());
    digested[i] = std::move(*digest);
  }
  return digested;
}

// The content of an entry, inflated now if it was only streamed: by the same inflater that
// streamed it into its digest, from the same private copy of its compressed bytes, so that
// what the host gets is what was hashed and the signature covers without hashing it again (a
// second SHA-256 was the larger part of verifying a streamed module). Its CRC-32 is checked
// again.
std::expected<ByteBuffer, VerifyError> materialize(const LocatedEntry& entry,
                                                   DigestedEntry& digested) {
  if (digested.content) return std::move(*digested.content);
  const LocatedEntry copied{.record = entry.record, .data = digested.compressed.bytes()};
  auto content = inflate_streamed_entry(copied);
  if (!content) return read_failure(content.error());
  return std::move(*content);
}

// A file of a plugin directory: its whole content, up to `limit` bytes.
std::expected<ByteBuffer, VerifyError> read_member(std::string_view dir, std::string_view name,
                                                   std::uint64_t limit) {
  auto content = read_plugin_file(dir, name, limit);
  if (content) return std::move(*content);
  const IoError& error = content.error();
  VerifyErrorKind kind = VerifyErrorKind::kUnreadable;
  if (error.kind == IoErrorKind::kOutOfMemory)
    kind = VerifyErrorKind::kOutOfMemory;
  else if (error.kind == IoErrorKind::kTooLarge)
    kind = VerifyErrorKind::kTooLarge;
  return failure(kind, "failed to read " + std::string(name) + ": " + io_error_text(error));
}

// Runs `body`, turning a failed allocation inside it into a result: no exception leaves the
// library.
template <typename Body>
std::expected<VerifiedPackage, VerifyError> without_exceptions(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return failure(VerifyErrorKind::kOutOfMemory, "out of memory");
}

}  // namespace

std::expected<VerifiedPackage, VerifyError> verify_package(std::span<const std::byte> archive,
                                                           std::span<const TrustedKey> keys,
                                                           const VerifyLimits& limits) {
  return verify_package(archive, keys, VerifyOptions{.limits = limits});
}

std::expected<VerifiedPackage, VerifyError> verify_plugin_directory(
    std::string_view dir, std::span<const TrustedKey> keys, const VerifyLimits& limits) {
  return verify_plugin_directory(dir, keys, VerifyOptions{.limits = limits});
}

std::expected<VerifiedPackage, VerifyError> verify_package(std::span<const std::byte> archive,
                                                           std::span<const TrustedKey> keys,
                                                           const VerifyOptions& options) {
  const VerifyLimits& limits = options.limits;
  return without_exceptions([&]() -> std::expected<VerifiedPackage, VerifyError> {
    if (archive.size() > max_package_size(limits))
      return failure(
          VerifyErrorKind::kTooLarge,
          "package is larger than " + std::to_string(max_package_size(limits)) + " bytes");
    auto entries = locate_package_entries(archive, size_limits(limits));
    if (!entries) return read_failure(entries.error());
    auto digested = digest_entries(*entries);
    if (!digested) return std::unexpected(digested.error());
    auto& [plugin_toml, main_wasm, signature] = *digested;
    VerifiedPackage package;
    package.plugin_toml_sha256 = plugin_toml.sha256;
    package.main_wasm_sha256 = main_wasm.sha256;
    auto signature_text = materialize((*entries)[2], signature);
    if (!signature_text) return std::unexpected(signature_text.error());
    auto verifying = check_signature(signature_text->bytes(), keys, package);
    if (!verifying) return std::unexpected(verifying.error());
    return accept_signed(
        std::move(package), std::move(*signature_text), keys, *verifying, options,
        [&] { return materialize((*entries)[0], plugin_toml); },
        [&] { return materialize((*entries)[1], main_wasm); });
  });
}

std::expected<VerifiedPackage, VerifyError> verify_plugin_directory(
    std::string_view dir, std::span<const TrustedKey> keys, const VerifyOptions& options) {
  const VerifyLimits& limits = options.limits;
  return without_exceptions([&]() -> std::expected<VerifiedPackage, VerifyError> {
    auto plugin_toml = read_member(dir, "plugin.toml", limits.plugin_toml);
    if (!plugin_toml) return std::unexpected(plugin_toml.error());
    auto main_wasm = read_member(dir, "main.wasm", limits.main_wasm);
    if (!main_wasm) return std::unexpected(main_wasm.error());
    auto signature = read_member(dir, "signature.sig", kSignatureTextSize);
    if (!signature) return std::unexpected(signature.error());
    return verify_contents(std::move(*plugin_toml), std::move(*main_wasm), std::move(*signature),
                           keys, options);
  });
}

std::uint64_t max_package_size(const VerifyLimits& limits) {
  return max_package_archive_size(size_limits(limits));
}

}  // namespace plugin_sign
