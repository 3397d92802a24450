// fuzz_check.hpp — what a fuzz target does when a property fails: say which, then abort, so
// that libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace plugin_sign::fuzzing {

/// Aborts with `what` and the two sides when `holds` is false.
inline void require(bool holds, std::string_view what, std::string_view got = {},
                    std::string_view expected = {}) {
  if (holds) return;
  std::fprintf(stderr, "property failed: %.*s\n  got:      \"%.*s\"\n  expected: \"%.*s\"\n",
               static_cast<int>(what.size()), what.data(), static_cast<int>(got.size()), got.data(),
               static_cast<int>(expected.size()), expected.data());
  std::abort();
}

}  // namespace plugin_sign::fuzzing
