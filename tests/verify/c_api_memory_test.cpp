// The C interface when memory runs out: each allocation of a call fails in turn, and whatever
// fails, the call returns NULL or a result that says so and holds nothing, never a partial
// one, and never a message that names another cause than its status.
//
// This binary replaces the global operator new, so that std::string's and std::vector's
// allocations inside the library fail on demand; it holds only these tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "plugin_sign/verify.h"
#include "verify/c_api_handles.hpp"
#include "verify/signed_package.hpp"

namespace {

// The allocation that fails, counted from when it was armed; 0: none.
std::atomic<long> allocations_left{0};

// Whether this allocation is the one that fails; counts it down.
[[maybe_unused]] bool fails_now() {
  long left = allocations_left.load();
  while (left > 0 && !allocations_left.compare_exchange_weak(left, left - 1)) {
  }
  return left == 1;
}

}  // namespace

// The sanitizers bring an operator new of their own, which frees what this one would not have
// allocated: under them nothing is replaced and the tests skip.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kFailsAllocations = false;
#else
constexpr bool kFailsAllocations = true;

// The replacements pair malloc with free; GCC, inlining them, would take that for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (fails_now()) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
  std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#endif

namespace plugin_sign {
namespace {

using testing::Keys;
using testing::Result;

// What a result shows a host.
struct Seen {
  bool null = true;
  plugin_sign_status status = PLUGIN_SIGN_OK;
  std::string message;
  bool has_name = false, has_key_id = false, has_public_key = false, has_module = false;
  std::string name, key_id;

  bool operator==(const Seen&) const = default;
};

Seen seen(const plugin_sign_result* result) {
  if (result == nullptr) return {};
  const char* name = plugin_sign_result_name(result, nullptr);
  const char* key_id = plugin_sign_result_key_id(result);
  return Seen{.null = false,
              .status = plugin_sign_result_status(result),
              .message = plugin_sign_result_message(result),
              .has_name = name != nullptr,
              .has_key_id = key_id != nullptr,
              .has_public_key = plugin_sign_result_public_key(result) != nullptr,
              .has_module = plugin_sign_result_main_wasm(result, nullptr) != nullptr,
              .name = name != nullptr ? name : "",
              .key_id = key_id != nullptr ? key_id : ""};
}

std::string describe(const Seen& s) {
  if (s.null) return "NULL";
  return std::string(plugin_sign_status_string(s.status)) + " \"" + s.message + "\"" +
         (s.has_name ? " name " + s.name : "") + (s.has_key_id ? " key_id " + s.key_id : "") +
         (s.has_public_key ? " public_key" : "") + (s.has_module ? " main_wasm" : "");
}

// Runs `call` with its 1st, 2nd, ... allocation failing until one run has none left to fail,
// and checks every outcome against the one with memory enough: the same, NULL, or out of memory
// with no bytes of the package and whole facts of its signature, if any; or what `also` allows.
template <typename Call, typename Also>
void sweep(Call&& call, Also&& also) {
  const Result whole(call());
  const Seen reference = seen(whole.get());
  for (long n = 1;; ++n) {
    allocations_left = n;
    Result result(call());
    const bool failed = allocations_left.exchange(0) == 0;
    const Seen got = seen(result.get());
    SCOPED_TRACE("allocation " + std::to_string(n) + ": " + describe(got));
    if (!failed) {
      EXPECT_EQ(got, reference);
      break;
    }
    if (got.null) continue;
    // A message never names another cause than the status.
    const bool says_out_of_memory = got.message.find("out of memory") != std::string::npos;
    EXPECT_EQ(got.status == PLUGIN_SIGN_OUT_OF_MEMORY, says_out_of_memory);
    if (got.status != PLUGIN_SIGN_OUT_OF_MEMORY) {
      EXPECT_TRUE(got == reference || also(got));
      continue;
    }
    EXPECT_FALSE(got.has_module);
    // Who signed it, shown whole or not at all: a key ID is 16 hexadecimal digits.
    EXPECT_EQ(got.has_public_key, got.has_key_id);
    if (got.has_key_id) {
      EXPECT_EQ(got.key_id.size(), 16u);
    }
    ASSERT_LT(n, 10000) << "the allocations never ran out";
  }
}

const auto nothing_else = [](const Seen&) { return false; };

class CApiMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kFailsAllocations) GTEST_SKIP() << "the sanitizers' operator new cannot be replaced";
    ASSERT_TRUE(keys_);
    ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_keys_add_base64(keys_.get(), key_text(1).c_str()));
  }

  static std::string key_text(int n) {
    const TrustedKey key = testing::trusted(n);
    return public_key_base64(key.key);
  }

  Keys keys_{plugin_sign_keys_new()};
  const std::vector<std::byte> package_ = testing::package_of(testing::signed_contents(
      1, "[package]\nname = \"demo\"\nversion = \"1.2.0\"\n", std::vector<std::byte>(4096)));
};

TEST_F(CApiMemory, AVerifiedPackageIsWholeOrOutOfMemory) {
  sweep(
      [&] {
        return plugin_sign_verify_package(keys_.get(), package_.data(), package_.size(), nullptr);
      },
      nothing_else);
}

// A refusal after the signature tells who signed what, or, out of memory, nothing.
TEST_F(CApiMemory, ARefusalIsWholeOrOutOfMemory) {
  sweep(
      [&] {
        return plugin_sign_verify_package_with(keys_.get(), nullptr, "other", 5, package_.data(),
                                               package_.size(), nullptr);
      },
      nothing_else);
}

// A set an addition failed for refuses with that addition's status, and its message when there
// was memory for it.
TEST_F(CApiMemory, AFailedSetRefusesWithItsStatusWhateverFails) {
  ASSERT_EQ(PLUGIN_SIGN_INVALID_KEY, plugin_sign_keys_add_base64(keys_.get(), "not a key"));
  sweep(
      [&] {
        return plugin_sign_verify_package(keys_.get(), package_.data(), package_.size(), nullptr);
      },
      [](const Seen& got) {
        return got == Seen{.null = false, .status = PLUGIN_SIGN_INVALID_KEY, .message = ""};
      });
}

// A missing argument is reported, or NULL when even the result could not be had.
TEST_F(CApiMemory, AMissingArgumentIsReportedOrNull) {
  sweep(
      [&] {
        return plugin_sign_verify_package(nullptr, package_.data(), package_.size(), nullptr);
      },
      nothing_else);
}

}  // namespace
}  // namespace plugin_sign
