// report.hpp — what plugin_verify says about one package: its exit status, its text line and
// its JSON line. Every line stays one line whatever bytes a path, name or message holds.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plugin_sign {

/// Why a package did not pass, as plugin_verify reports it: the library's kinds and the
/// extraction that follows a verification.
enum class FailureKind {
  kUnreadable,
  kMalformed,
  kTooLarge,
  kOutOfMemory,
  kBadSignature,
  kNameNotAllowed,
  kExtractFailed,
  kRevoked,
  kNameMismatch,
  kRollback,
};

struct Failure {
  FailureKind kind = FailureKind::kMalformed;
  std::string message;
};

/// What a verified signature established about a package, verified or refused after its
/// signature; the name and version only when plugin.toml gave ones that passed their checks.
struct VerifiedFacts {
  std::optional<std::string> name;
  std::optional<std::string> version;
  std::string key_id;
  std::string plugin_toml_sha256;
  std::string main_wasm_sha256;
  std::string manifest_sha256;
};

/// The outcome for one PACKAGE argument: `verified` when its signature verified, `failure`
/// when anything went wrong (both for a failure after the signature, extraction included).
struct PackageReport {
  std::string package;
  std::optional<VerifiedFacts> verified;
  std::optional<Failure> failure;
};

/// 0 when nothing failed; 1 for a signature no allowed key verifies, a revoked key or package,
/// another name than the expected one, or a rollback against the version record; 2 for a malformed
/// or too large package; 3 for an unreadable package, no memory or a failed extraction.
[[nodiscard]] int exit_status(const PackageReport& report);

/// The text of `kind` in the JSON output: "unreadable", "malformed", "too_large", ...
[[nodiscard]] std::string_view failure_kind_name(FailureKind kind);

/// `bytes` made printable on one line: a backslash as "\\", tab, line feed and carriage
/// return as "\t", "\n", "\r", and every other control character (C0, DEL, C1), U+2028,
/// U+2029, the bidirectional controls (U+200E, U+200F, U+202A-U+202E, U+2066-U+2069), the
/// zero-width characters (U+200B-U+200D, U+FEFF) and each byte that is not part of
/// well-formed UTF-8 as "\xHH" per byte; a space too as "\x20" when `escape_space` (so that
/// a name stays one word).
[[nodiscard]] std::string escape_text(std::string_view bytes, bool escape_space = false);

/// `text` as a quoted JSON string, ill-formed UTF-8 first replaced by U+FFFD. Quotes,
/// backslashes, every control character, U+2028 and U+2029 are escaped, so the string never
/// breaks a line for any line reader; so are the bidirectional controls and zero-width
/// characters that escape_text escapes, for whoever reads the JSON on a terminal.
[[nodiscard]] std::string json_string(std::string_view text);

/// For a verified package "PACKAGE: verified NAME VERSION, key KEYID", otherwise
/// "plugin_verify: PACKAGE: REASON"; with the line feed.
[[nodiscard]] std::string text_line(const PackageReport& report);

/// One JSON object with every field, and the line feed.
[[nodiscard]] std::string json_line(const PackageReport& report);

/// The version of the JSON objects' layout, the "schema" field.
inline constexpr int kJsonSchema = 1;

}  // namespace plugin_sign
