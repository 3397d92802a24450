// c_api_handles.hpp — the C library's handles owned the C++ way in tests: freed with the
// library's own functions when they go out of scope.
#pragma once

#include <memory>

#include "plugin_sign/verify.h"

namespace plugin_sign::testing {

struct KeysDeleter {
  void operator()(plugin_sign_keys* keys) const { plugin_sign_keys_free(keys); }
};
struct ResultDeleter {
  void operator()(plugin_sign_result* result) const { plugin_sign_result_free(result); }
};
struct RevocationsDeleter {
  void operator()(plugin_sign_revocations* revocations) const {
    plugin_sign_revocations_free(revocations);
  }
};
using Keys = std::unique_ptr<plugin_sign_keys, KeysDeleter>;
using Result = std::unique_ptr<plugin_sign_result, ResultDeleter>;
using Revoked = std::unique_ptr<plugin_sign_revocations, RevocationsDeleter>;

}  // namespace plugin_sign::testing
