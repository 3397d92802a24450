// trust_files.cpp — key and revocation files by path (plugin_sign/trust_files.hpp).
#include "plugin_sign/trust_files.hpp"

#include "io/file_io.hpp"

namespace plugin_sign {
namespace {

TrustFileError::Kind kind_of(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::kWorldWritable:
      return TrustFileError::Kind::kWorldWritable;
    case IoErrorKind::kTooLarge:
      return TrustFileError::Kind::kTooLarge;
    case IoErrorKind::kOutOfMemory:
      return TrustFileError::Kind::kOutOfMemory;
    case IoErrorKind::kOther:
      break;
  }
  return TrustFileError::Kind::kUnreadable;
}

// The whole text of a file that decides trust, or why it cannot be used.
std::expected<ByteBuffer, TrustFileError> read_text(std::string_view path, std::uint64_t max_size) {
  auto text = read_trust_file(path, max_size);
  if (text) return std::move(*text);
  const std::string name(path);
  const IoError& error = text.error();
  const TrustFileError::Kind kind = kind_of(error.kind);
  if (kind == TrustFileError::Kind::kWorldWritable)
    return std::unexpected(TrustFileError{kind, name + ": refused, " + io_error_text(error)});
  return std::unexpected(TrustFileError{kind, name + ": failed to read: " + io_error_text(error)});
}

std::string_view as_text(const ByteBuffer& buffer) {
  const auto bytes = buffer.bytes();
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::expected<std::vector<TrustedKey>, TrustFileError> load_key_file(std::string_view path) {
  auto text = read_text(path, kMaxKeyFileSize);
  if (!text) return std::unexpected(std::move(text.error()));
  auto keys = parse_trusted_keys(as_text(*text));
  if (!keys)
    return std::unexpected(
        TrustFileError{TrustFileError::Kind::kInvalid, std::string(path) + ": " + keys.error()});
  return std::move(*keys);
}

std::expected<Revocations, TrustFileError> load_revocation_file(std::string_view path) {
  auto text = read_text(path, kMaxRevocationFileSize);
  if (!text) return std::unexpected(std::move(text.error()));
  auto revocations = parse_revocations(as_text(*text));
  if (!revocations)
    return std::unexpected(TrustFileError{TrustFileError::Kind::kInvalid,
                                          std::string(path) + ": " + revocations.error()});
  return std::move(*revocations);
}

}  // namespace plugin_sign
