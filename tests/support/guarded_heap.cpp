// guarded_heap.cpp — replaces the global operator new of the test binary that links it.
#include "support/guarded_heap.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

namespace plugin_sign::testing {
void guard_every_allocation() {}
}  // namespace plugin_sign::testing

#else

namespace {

// Address space only: pages become readable one block at a time.
constexpr std::size_t kArenaSize = std::size_t{1} << 30;
char* arena = nullptr;
std::size_t arena_used = 0;

// The block ends on the page boundary; its size is rounded up to keep operator new's alignment,
// which leaves no slack for the element types a vector of views or integers holds.
void* guarded_block(std::size_t size) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t aligned = (size + __STDCPP_DEFAULT_NEW_ALIGNMENT__ - 1) /
                              __STDCPP_DEFAULT_NEW_ALIGNMENT__ * __STDCPP_DEFAULT_NEW_ALIGNMENT__;
  const std::size_t readable = (aligned + page - 1) / page * page + (aligned == 0 ? page : 0);
  if (arena_used + readable + page > kArenaSize) std::abort();
  char* pages = arena + arena_used;
  arena_used += readable + page;
  if (mprotect(pages, readable, PROT_READ | PROT_WRITE) != 0) std::abort();
  return pages + readable - aligned;
}

bool in_arena(const void* p) {
  const char* c = static_cast<const char*>(p);
  return arena != nullptr && c >= arena && c < arena + kArenaSize;
}

}  // namespace

namespace plugin_sign::testing {

void guard_every_allocation() {
  void* reserved =
      mmap(nullptr, kArenaSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) std::abort();
  arena = static_cast<char*>(reserved);
}

}  // namespace plugin_sign::testing

void* operator new(std::size_t size) {
  if (arena != nullptr) return guarded_block(size);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
  if (!in_arena(p)) std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
  operator delete(p);
}

#endif
