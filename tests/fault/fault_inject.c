/* fault_inject.so — an LD_PRELOAD library that makes one chosen call of a process fail.
 *
 * Every call of open/open64/openat, read, write, lseek, fstat, and every malloc or realloc
 * that the main program makes itself (the input buffer; allocations through operator new or
 * from other libraries are not counted) is numbered from 1.
 *   FAULT_TRACE=FILE  appends one line per call: "N FUNCTION TARGET", where TARGET is the
 *                     path for an open, the path that the descriptor was opened with for the
 *                     others ("fd:K" when unknown), and "-" for an allocation.
 *   FAULT_AT=N        makes call N fail, as FAULT_MODE says:
 *   FAULT_MODE=errno:E  return -1 with errno E without doing the call (NULL with ENOMEM for
 *                       an allocation, whatever E is);
 *              eintr    return -1 with EINTR once without doing the call (allocations and
 *                       the calls after it are untouched);
 *              short    for write: write only the first half of the bytes (at least 1).
 *   FAULT_ALARM=S     ends the process by SIGALRM after S seconds, so that a hang shows up
 *                     as a signal of that one run.
 * The trace is written with raw system calls, so that it neither counts nor fails itself.
 * Functions that are next in line are found with dlsym(RTLD_NEXT): under AddressSanitizer
 * that is the sanitizer's allocator and interceptors, which must not be bypassed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { kModeNone, kModeErrno, kModeEintr, kModeShort };
enum { kMaxFds = 1024, kPathSize = 256 };

static long call_count;
static long fault_at = -1;
static int fault_mode = kModeNone;
static int fault_errno = EIO;
static int trace_fd = -1;
static char fd_paths[kMaxFds][kPathSize];
/* Address range of the main program's loaded segments: allocations called from there count. */
static uintptr_t program_begin, program_end;

static int find_program(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  (void)data;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)* segment = &info->dlpi_phdr[i];
    if (segment->p_type != PT_LOAD) continue;
    const uintptr_t begin = info->dlpi_addr + segment->p_vaddr;
    const uintptr_t end = begin + segment->p_memsz;
    if (program_begin == 0 || begin < program_begin) program_begin = begin;
    if (end > program_end) program_end = end;
  }
  return 1; /* the first object listed is the main program */
}

__attribute__((constructor)) static void setup(void) {
  const char* at = getenv("FAULT_AT");
  const char* mode = getenv("FAULT_MODE");
  if (at) fault_at = atol(at);
  if (mode && strcmp(mode, "eintr") == 0) fault_mode = kModeEintr;
  if (mode && strcmp(mode, "short") == 0) fault_mode = kModeShort;
  if (mode && strncmp(mode, "errno:", 6) == 0) {
    fault_mode = kModeErrno;
    fault_errno = atoi(mode + 6);
  }
  const char* trace = getenv("FAULT_TRACE");
  if (trace)
    trace_fd =
        (int)syscall(SYS_openat, AT_FDCWD, trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const char* seconds = getenv("FAULT_ALARM");
  if (seconds) alarm((unsigned)atoi(seconds));
  dl_iterate_phdr(find_program, NULL);
}

static const char* fd_target(int fd, char* scratch, size_t size) {
  if (fd >= 0 && fd < kMaxFds && fd_paths[fd][0]) return fd_paths[fd];
  snprintf(scratch, size, "fd:%d", fd);
  return scratch;
}

/* Numbers this call, traces it, and says whether it is the one to fail. */
static int is_fault(const char* function, const char* target) {
  ++call_count;
  if (trace_fd >= 0) {
    char line[kPathSize + 64];
    int n = snprintf(line, sizeof line, "%ld %s %s\n", call_count, function, target);
    if (n > 0)
      syscall(SYS_write, trace_fd, line, (size_t)n < sizeof line ? (size_t)n : sizeof line);
  }
  return call_count == fault_at;
}

/* For a system call: whether this call fails (-1 with errno set) instead of being made. */
static int fails_here(const char* function, const char* target) {
  if (!is_fault(function, target)) return 0;
  if (fault_mode == kModeErrno)
    errno = fault_errno;
  else if (fault_mode == kModeEintr)
    errno = EINTR;
  else
    return 0;
  return 1;
}

static void remember(int fd, const char* path) {
  if (fd >= 0 && fd < kMaxFds) snprintf(fd_paths[fd], sizeof fd_paths[fd], "%s", path);
}

static void* next(const char* name) {
  return dlsym(RTLD_NEXT, name);
}

static int do_openat(int dirfd, const char* path, int flags, mode_t mode) {
  static int (*real)(int, const char*, int, ...);
  if (fails_here("open", path)) return -1;
  if (!real) real = next("openat");
  int fd = real(dirfd, path, flags, mode);
  remember(fd, path);
  return fd;
}

static mode_t mode_argument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return do_openat(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return do_openat(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return do_openat(dirfd, path, flags, mode);
}

ssize_t read(int fd, void* buffer, size_t count) {
  static ssize_t (*real)(int, void*, size_t);
  char scratch[32];
  if (fails_here("read", fd_target(fd, scratch, sizeof scratch))) return -1;
  if (!real) real = next("read");
  return real(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  static ssize_t (*real)(int, const void*, size_t);
  char scratch[32];
  if (!real) real = next("write");
  if (fails_here("write", fd_target(fd, scratch, sizeof scratch))) return -1;
  if (fault_mode == kModeShort && call_count == fault_at && count > 1) count /= 2;
  return real(fd, buffer, count);
}

static off_t do_lseek(int fd, off_t offset, int whence) {
  static off_t (*real)(int, off_t, int);
  char scratch[32];
  if (fails_here("lseek", fd_target(fd, scratch, sizeof scratch))) return -1;
  if (!real) real = next("lseek");
  return real(fd, offset, whence);
}

off_t lseek(int fd, off_t offset, int whence) {
  return do_lseek(fd, offset, whence);
}

static int do_fstat(int fd, struct stat* status) {
  static int (*real)(int, struct stat*);
  char scratch[32];
  if (fails_here("fstat", fd_target(fd, scratch, sizeof scratch))) return -1;
  if (!real) real = next("fstat");
  return real(fd, status);
}

int fstat(int fd, struct stat* status) {
  return do_fstat(fd, status);
}

/* Allocations. GCC turns realloc(NULL, n) into malloc(n) where it can see the NULL, so the
 * input buffer's first reservation arrives here as malloc and its growth as realloc. While
 * dlsym looks up the next allocator it may allocate itself; that is served from a small
 * static arena, which free then leaves alone. */
static _Alignas(16) char arena[4096];
static size_t arena_used;
static int resolving;

static void* arena_allocate(size_t size) {
  size = (size + 15) & ~(size_t)15;
  if (size > sizeof arena - arena_used) return NULL;
  void* block = arena + arena_used;
  arena_used += size;
  return block;
}

static int in_arena(const void* pointer) {
  return (const char*)pointer >= arena && (const char*)pointer < arena + sizeof arena;
}

static void* resolve(const char* name) {
  resolving = 1;
  void* function = next(name);
  resolving = 0;
  return function;
}

static int from_program(const void* caller) {
  return (uintptr_t)caller >= program_begin && (uintptr_t)caller < program_end;
}

static int allocation_fails(const void* caller) {
  return from_program(caller) && is_fault("alloc", "-") && fault_mode == kModeErrno;
}

void* malloc(size_t size) {
  static void* (*real)(size_t);
  if (resolving) return arena_allocate(size);
  if (!real) real = (void* (*)(size_t))resolve("malloc");
  if (allocation_fails(__builtin_return_address(0))) {
    errno = ENOMEM;
    return NULL;
  }
  return real(size);
}

void* realloc(void* pointer, size_t size) {
  static void* (*real)(void*, size_t);
  if (resolving) return arena_allocate(size);
  if (!real) real = (void* (*)(void*, size_t))resolve("realloc");
  if (allocation_fails(__builtin_return_address(0))) {
    errno = ENOMEM;
    return NULL;
  }
  return real(pointer, size);
}

void free(void* pointer) {
  static void (*real)(void*);
  /* Memory that dlsym frees while the next free is looked up is left alone. */
  if (pointer == NULL || in_arena(pointer) || resolving) return;
  if (!real) real = (void (*)(void*))resolve("free");
  real(pointer);
}
