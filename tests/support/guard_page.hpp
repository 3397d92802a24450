// guard_page.hpp — input that ends where readable memory ends, so that a read one byte past it
// faults in an ordinary build instead of quietly finding whatever the heap holds there.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace plugin_sign::testing {

// A copy of `bytes` whose last byte is the last one before a PROT_NONE page.
class GuardedBytes {
 public:
  explicit GuardedBytes(std::string_view bytes) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t readable = (bytes.size() / page + 1) * page;
    mapped_ = readable + page;
    void* base = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) std::abort();
    base_ = static_cast<char*>(base);
    if (mprotect(base_ + readable, page, PROT_NONE) != 0) std::abort();
    char* start = base_ + readable - bytes.size();
    if (!bytes.empty()) std::memcpy(start, bytes.data(), bytes.size());
    view_ = std::string_view(start, bytes.size());
  }
  ~GuardedBytes() { munmap(base_, mapped_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  std::string_view view() const { return view_; }

 private:
  char* base_ = nullptr;
  std::size_t mapped_ = 0;
  std::string_view view_;
};

// Runs `read` on `bytes` at the guard in a child process: a read past the end kills the child
// with SIGSEGV, which fails the calling test instead of the whole test binary.
template <class Read>
void expect_no_read_past_end(std::string_view bytes, Read read) {
  EXPECT_EXIT(
      {
        const GuardedBytes guarded(bytes);
        read(guarded.view());
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "")
      << "reading past the end of: " << ::testing::PrintToString(std::string(bytes));
}

}  // namespace plugin_sign::testing
