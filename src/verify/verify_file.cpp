// verify_file.cpp — a package file, read within the size its limits allow, then verified
// (plugin_sign/verify.hpp).
#include <sys/stat.h>

#include <new>
#include <stdexcept>
#include <string>

#include "io/file_io.hpp"
#include "plugin_sign/verify.hpp"

namespace plugin_sign {
namespace {

std::unexpected<VerifyError> failure(VerifyErrorKind kind, std::string message) {
  return std::unexpected(VerifyError{.kind = kind, .message = std::move(message)});
}

// The whole file, refused unread when larger than any package within the limits: its size
// decides nothing else, and no package that could verify is refused.
std::expected<ByteBuffer, VerifyError> read_package_file(std::string_view path,
                                                         const VerifyLimits& limits) {
  const std::uint64_t max_size = max_package_size(limits);
  auto bytes = read_plugin_file("", path, max_size);
  if (bytes) return std::move(*bytes);
  const IoError& error = bytes.error();
  if (error.kind == IoErrorKind::kTooLarge) {
    // The size is looked up again only to be shown: the read refused the file already.
    struct stat status {};
    const std::string path_text(path);
    const std::string size = ::stat(path_text.c_str(), &status) == 0
                                 ? std::to_string(status.st_size) + " bytes, "
                                 : std::string();
    return failure(VerifyErrorKind::kTooLarge, "package is " + size +
                                                   "larger than the limits allow (" +
                                                   std::to_string(max_size) + " bytes)");
  }
  const VerifyErrorKind kind = error.kind == IoErrorKind::kOutOfMemory
                                   ? VerifyErrorKind::kOutOfMemory
                                   : VerifyErrorKind::kUnreadable;
  return failure(kind, "failed to read: " + io_error_text(error));
}

}  // namespace

std::expected<VerifiedPackage, VerifyError> verify_package_file(std::string_view path,
                                                                std::span<const TrustedKey> keys,
                                                                const VerifyLimits& limits) {
  return verify_package_file(path, keys, VerifyOptions{.limits = limits});
}

std::expected<VerifiedPackage, VerifyError> verify_package_file(std::string_view path,
                                                                std::span<const TrustedKey> keys,
                                                                const VerifyOptions& options) {
  try {
    auto archive = read_package_file(path, options.limits);
    if (!archive) return std::unexpected(std::move(archive.error()));
    // The verified contents own their bytes: the archive may go when this returns.
    return verify_package(archive->bytes(), keys, options);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return failure(VerifyErrorKind::kOutOfMemory, "out of memory");
}

}  // namespace plugin_sign
