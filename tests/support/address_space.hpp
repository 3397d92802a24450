// address_space.hpp — code run in a child process whose address space leaves it little room,
// so that memory the code would take shows as memory it cannot get, before any is taken.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>

namespace plugin_sign::testing {

// The address space this process maps now, in bytes.
inline std::uint64_t address_space() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// Runs `check` in a forked child that may map `room` bytes more than this process maps now:
// true when it returned true there. The sanitizers map more than such a limit leaves.
template <class Check>
bool holds_within_address_space(std::uint64_t room, Check check) {
  const pid_t child = ::fork();
  if (child == -1) return false;
  if (child == 0) {
    const rlimit limit{.rlim_cur = address_space() + room, .rlim_max = RLIM_INFINITY};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(2);
    ::_exit(check() ? 0 : 1);
  }
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace plugin_sign::testing
