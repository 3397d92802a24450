// run.hpp — the steps of a plugin_verify run: load the keys, then per package read, verify
// and extract. Nothing here prints or exits; main.cpp reports each package and picks the status.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "plugin_sign/keys.hpp"
#include "plugin_sign/revocations.hpp"
#include "plugin_sign/trust_files.hpp"
#include "tools/plugin_verify/arguments.hpp"
#include "tools/plugin_verify/report.hpp"

namespace plugin_sign {

/// Every key of `sources`, in order. The error is the whole message, naming the source:
/// "key file keys.txt: line 2: ..." or "-P AAAA: public key is not valid base64: ...".
[[nodiscard]] std::expected<std::vector<TrustedKey>, std::string> load_trusted_keys(
    std::span<const KeySource> sources);

/// Every entry of the revocation files `paths`. The error is the whole message, naming the
/// file: "revocation file revoked.txt: line 2: ...".
[[nodiscard]] std::expected<Revocations, std::string> load_revocations(
    std::span<const std::string> paths);

/// What a package must be besides signed by a trusted key.
struct PackageChecks {
  const Revocations* revocations = nullptr;
  std::optional<std::string> expected_name;
  VerifyLimits limits;
  std::optional<std::string> record;  ///< the version record's path
};

/// Reads `package` (a package ZIP, or a plugin directory), verifies it against `keys` and
/// `checks` and, when it verified and `extract_dir` is given, writes its three files there.
[[nodiscard]] PackageReport check_package(const std::string& package,
                                          std::span<const TrustedKey> keys,
                                          const PackageChecks& checks,
                                          const std::optional<std::string>& extract_dir);

}  // namespace plugin_sign
