// revocation.hpp — the self-signed statement that revokes a key.
#pragma once

#include <string>

#include "plugin_sign/keys.hpp"
#include "signing/signature.hpp"
#include "signing/signing_key.hpp"

namespace plugin_sign {

/// The line `plugin_key revoke` prints for `key`: "key PUBLICKEY SIGNATURE" and a line feed,
/// the signature by `key` over its revocation message. The crypto library must have started.
[[nodiscard]] std::string revocation_statement(const SigningKey& key);

/// The bytes a revocation signature covers: "plugin_sign key revocation v1", a line feed and
/// the 32 bytes of `key`. Never a package manifest, which is 161 bytes beginning with "{".
[[nodiscard]] std::string revocation_message(const PublicKey& key);

/// Whether `signature` is `key`'s signature of its own revocation message.
[[nodiscard]] bool verify_revocation(const PublicKey& key, const Signature& signature);

}  // namespace plugin_sign
