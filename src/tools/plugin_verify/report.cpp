#include "tools/plugin_verify/report.hpp"

#include <cstddef>
#include <cstdint>

#include "io/utf8.hpp"

namespace plugin_sign {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// The length of the well-formed UTF-8 sequence at `pos`, or 0 when the byte there starts none.
std::size_t sequence_length(std::string_view text, std::size_t pos) {
  const std::size_t length = utf8_sequence_length(text[pos]);
  if (length > text.size() - pos) return 0;
  return is_valid_utf8(text.substr(pos, length)) ? length : 0;
}

std::uint32_t code_point(std::string_view sequence) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(sequence[i]); };
  switch (sequence.size()) {
    case 1:
      return byte(0);
    case 2:
      return (byte(0) & 0x1Fu) << 6 | (byte(1) & 0x3Fu);
    case 3:
      return (byte(0) & 0x0Fu) << 12 | (byte(1) & 0x3Fu) << 6 | (byte(2) & 0x3Fu);
    default:
      return (byte(0) & 0x07u) << 18 | (byte(1) & 0x3Fu) << 12 | (byte(2) & 0x3Fu) << 6 |
             (byte(3) & 0x3Fu);
  }
}

// Characters that a terminal or a line reader may act on: C0, DEL, C1 (NEL among them is a
// line break to some readers), and the Unicode line and paragraph separators.
bool is_control(std::uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// Characters that show nothing themselves yet change how a line reads: the bidirectional
// marks, embeddings, overrides and isolates reorder what follows them ("hello\u202Egnp.exe"
// shows as "helloexe.png"), and the zero-width ones make two different names look the same.
bool is_invisible_format(std::uint32_t c) {
  return (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

bool needs_escape(std::uint32_t c) {
  return is_control(c) || is_invisible_format(c);
}

void append_byte_escape(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

void append_unicode_escape(std::string& out, std::uint32_t c) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
}

std::string_view status_name(const PackageReport& report) {
  return report.failure ? "failed" : "verified";
}

// A JSON member `"key":value`, with the comma that separates it from the one before.
void append_member(std::string& out, std::string_view key, std::string_view json_value) {
  if (out.size() > 1) out += ',';
  out += json_string(key);
  out += ':';
  out += json_value;
}

std::string json_or_null(const std::optional<VerifiedFacts>& facts,
                         std::string VerifiedFacts::*field) {
  return facts ? json_string((*facts).*field) : "null";
}

std::string json_or_null(const std::optional<VerifiedFacts>& facts,
                         std::optional<std::string> VerifiedFacts::*field) {
  return facts && (*facts).*field ? json_string(*((*facts).*field)) : "null";
}

}  // namespace

int exit_status(const PackageReport& report) {
  if (!report.failure) return 0;
  switch (report.failure->kind) {
    case FailureKind::kBadSignature:
    case FailureKind::kNameNotAllowed:
    case FailureKind::kRevoked:
    case FailureKind::kNameMismatch:
    case FailureKind::kRollback:
      return 1;
    case FailureKind::kMalformed:
    case FailureKind::kTooLarge:
      return 2;
    case FailureKind::kUnreadable:
    case FailureKind::kOutOfMemory:
    case FailureKind::kExtractFailed:
      return 3;
  }
  return 3;
}

std::string_view failure_kind_name(FailureKind kind) {
  switch (kind) {
    case FailureKind::kUnreadable:
      return "unreadable";
    case FailureKind::kMalformed:
      return "malformed";
    case FailureKind::kTooLarge:
      return "too_large";
    case FailureKind::kOutOfMemory:
      return "out_of_memory";
    case FailureKind::kBadSignature:
      return "bad_signature";
    case FailureKind::kNameNotAllowed:
      return "name_not_allowed";
    case FailureKind::kExtractFailed:
      return "extract_failed";
    case FailureKind::kRevoked:
      return "revoked";
    case FailureKind::kNameMismatch:
      return "name_mismatch";
    case FailureKind::kRollback:
      return "rollback";
  }
  return "unknown";
}

std::string escape_text(std::string_view bytes, bool escape_space) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t length = sequence_length(bytes, pos);
    if (length == 0) {
      append_byte_escape(out, static_cast<unsigned char>(bytes[pos++]));
      continue;
    }
    const std::string_view sequence = bytes.substr(pos, length);
    pos += length;
    const std::uint32_t c = code_point(sequence);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t' || c == '\n' || c == '\r') {
      out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
    } else if (needs_escape(c) || (escape_space && c == ' ')) {
      for (char byte : sequence) append_byte_escape(out, static_cast<unsigned char>(byte));
    } else {
      out += sequence;
    }
  }
  return out;
}

std::string json_string(std::string_view text) {
  const std::string valid = to_utf8_lossy(text);
  std::string out = "\"";
  out.reserve(valid.size() + 2);
  for (std::size_t pos = 0; pos < valid.size();) {
    const std::size_t length = sequence_length(valid, pos);
    const std::string_view sequence = std::string_view(valid).substr(pos, length);
    pos += length;
    const std::uint32_t c = code_point(sequence);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (needs_escape(c)) {
      append_unicode_escape(out, c);
    } else {
      out += sequence;
    }
  }
  out += '"';
  return out;
}

std::string text_line(const PackageReport& report) {
  if (report.failure)
    return "plugin_verify: " + escape_text(report.package) + ": " +
           escape_text(report.failure->message) + "\n";
  const VerifiedFacts& facts = *report.verified;
  return escape_text(report.package) + ": verified " + escape_text(facts.name.value_or(""), true) +
         " " + escape_text(facts.version.value_or(""), true) + ", key " + facts.key_id + "\n";
}

std::string json_line(const PackageReport& report) {
  std::string out = "{";
  append_member(out, "schema", std::to_string(kJsonSchema));
  append_member(out, "package", json_string(report.package));
  append_member(out, "status", json_string(status_name(report)));
  append_member(out, "exit_status", std::to_string(exit_status(report)));
  append_member(out, "name", json_or_null(report.verified, &VerifiedFacts::name));
  append_member(out, "version", json_or_null(report.verified, &VerifiedFacts::version));
  append_member(out, "key_id", json_or_null(report.verified, &VerifiedFacts::key_id));
  append_member(out, "plugin_toml_sha256",
                json_or_null(report.verified, &VerifiedFacts::plugin_toml_sha256));
  append_member(out, "main_wasm_sha256",
                json_or_null(report.verified, &VerifiedFacts::main_wasm_sha256));
  append_member(out, "manifest_sha256",
                json_or_null(report.verified, &VerifiedFacts::manifest_sha256));
  std::string error = "null";
  if (report.failure) {
    error = "{";
    append_member(error, "kind", json_string(failure_kind_name(report.failure->kind)));
    append_member(error, "message", json_string(report.failure->message));
    error += "}";
  }
  append_member(out, "error", error);
  out += "}\n";
  return out;
}

}  // namespace plugin_sign
