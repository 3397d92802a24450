/* fault_inject.so — an LD_PRELOAD library that makes one chosen call of a process fail.
 *
 * Every call of open/open64/openat, read, write, lseek, fstat, ftruncate and close is numbered
 * from 1, and so is every malloc, realloc or mmap made directly by a function of the main program
 * named in FAULT_ALLOC_IN=A[,B...]  functions whose (mangled) symbol names contain A or B, found in
 *                     the program's symbol table; e.g. "ByteBuffer,read_plugin_file" for the
 *                     input buffer, whose first reservation the compiler may turn from
 *                     realloc into malloc. Allocations elsewhere (operator new, zlib, also
 *                     when linked into the program) are neither counted nor failed.
 *   FAULT_TRACE=FILE  appends one line per call: "N FUNCTION TARGET", where TARGET is the
 *                     path for an open, the path that the descriptor was opened with for the
 *                     others ("fd:K" when unknown), and "-" for an allocation.
 *   FAULT_AT=N[,M...] makes call N (and M...) fail, as FAULT_MODE says; N:E fails call N with
 *                     errno E whatever the mode, so that one run can fail two calls differently:
 *   FAULT_EVERY=F     makes every call of function F ("fstat", ...) fail as well.
 *   FAULT_SIZELESS=1  makes every fstat report a size of 0, as files under /proc do.
 *   FAULT_MODE=errno:E  return -1 with errno E without doing the call (NULL, or MAP_FAILED,
 *                       with ENOMEM for an allocation, whatever E is);
 *              eintr    return -1 with EINTR once without doing the call (allocations and
 *                       the calls after it are untouched);
 *              short    for write: write only the first half of the bytes (at least 1);
 *              kill     ends the process by SIGKILL before the call, as a crash or a power
 *                       cut would (system calls only);
 *              swap     makes the call all the same, but first moves what its path names to
 *                       PATH.moved and puts an empty plain file at PATH, as someone racing
 *                       the program would (calls given a path only).
 *   FAULT_ALARM=S     ends the process by SIGALRM after S seconds, so that a hang shows up
 *                     as a signal of that one run.
 *   FAULT_THREADS=1   numbers (and can fail) each pthread_create as well, traced as
 *                     "thread -"; a failed one returns the error number of FAULT_MODE's errno
 *                     (EAGAIN, as when the system is out of threads, for any other mode).
 *   FAULT_RANDOM=B    makes every getrandom fill its buffer with the byte B (a number), so
 *                     that the next temporary name is known and can be planted in advance;
 *                     FAULT_RANDOM=none makes it fail with ENOSYS, as on a kernel without it.
 *   FAULT_STATS=1     numbers (and can fail) stat and lstat by path as well.
 *   FAULT_PLACING=1   numbers (and can fail) the calls that put a new file in place as well:
 *                     fsync, link, linkat, rename and renameat2, and flock, which guards
 *                     the version record's update. The target of link and
 *                     rename is the new name. (close is always numbered.)
 * The trace is written with raw system calls, so that it neither counts nor fails itself.
 * Functions that are next in line are found with dlsym(RTLD_NEXT): under AddressSanitizer
 * that is the sanitizer's allocator and interceptors, which must not be bypassed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { kModeNone, kModeErrno, kModeEintr, kModeShort, kModeKill, kModeSwap };
enum { kMaxFds = 1024, kPathSize = 256 };

static long call_count;
enum { kMaxFaults = 8 };
static long fault_at[kMaxFaults];
static int fault_at_errno[kMaxFaults]; /* 0: as FAULT_MODE says */
static int pending_errno;              /* of the call being failed, 0 when FAULT_MODE decides */
static int fault_count;
static const char* fault_every = "";
static int fault_sizeless;
static int fault_placing;
static int fault_threads;
static int fault_stats;
enum { kRandomReal = -1, kRandomNone = -2 };
static int fault_random = kRandomReal;
static int fault_mode = kModeNone;
static int fault_errno = EIO;
static int trace_fd = -1;
static char fd_paths[kMaxFds][kPathSize];
enum { kMaxRanges = 64 };
/* Code ranges of the functions named in FAULT_ALLOC_IN, at their loaded addresses. */
static struct { uintptr_t begin, end; } alloc_ranges[kMaxRanges];
static int range_count;
static uintptr_t program_base;

static int find_program(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  (void)data;
  program_base = info->dlpi_addr;
  return 1; /* the first object listed is the main program */
}

/* Whether `name` contains one of the comma-separated tokens of `wanted`. */
static int name_matches(const char* name, const char* wanted) {
  while (*wanted) {
    const char* comma = strchr(wanted, ',');
    const size_t length = comma ? (size_t)(comma - wanted) : strlen(wanted);
    char token[128];
    if (length > 0 && length < sizeof token) {
      memcpy(token, wanted, length);
      token[length] = 0;
      if (strstr(name, token)) return 1;
    }
    wanted += length + (comma != NULL);
  }
  return 0;
}

/* Reads the program's own symbol table through raw system calls and a private mapping. */
static void find_allocating_functions(const char* wanted) {
  dl_iterate_phdr(find_program, NULL);
  const int fd = (int)syscall(SYS_openat, AT_FDCWD, "/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat status;
  void* map = MAP_FAILED;
  if (syscall(SYS_fstat, fd, &status) == 0)
    map = mmap(NULL, (size_t)status.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
  syscall(SYS_close, fd);
  if (map == MAP_FAILED) return;
  const char* file = map;
  const ElfW(Ehdr)* header = map;
  const ElfW(Shdr)* sections = (const ElfW(Shdr)*)(file + header->e_shoff);
  for (int i = 0; i < header->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_SYMTAB) continue;
    const char* names = file + sections[sections[i].sh_link].sh_offset;
    const ElfW(Sym)* symbols = (const ElfW(Sym)*)(file + sections[i].sh_offset);
    const size_t count = sections[i].sh_size / sizeof *symbols;
    for (size_t k = 0; k < count && range_count < kMaxRanges; ++k) {
      const ElfW(Sym)* symbol = &symbols[k];
      if (ELF64_ST_TYPE(symbol->st_info) != STT_FUNC || symbol->st_size == 0) continue;
      if (!name_matches(names + symbol->st_name, wanted)) continue;
      alloc_ranges[range_count].begin = program_base + symbol->st_value;
      alloc_ranges[range_count].end = program_base + symbol->st_value + symbol->st_size;
      ++range_count;
    }
  }
  munmap(map, (size_t)status.st_size);
}

__attribute__((constructor)) static void setup(void) {
  const char* at = getenv("FAULT_AT");
  const char* mode = getenv("FAULT_MODE");
  while (at && *at && fault_count < kMaxFaults) {
    char* end;
    fault_at[fault_count] = strtol(at, &end, 10);
    if (*end == ':') fault_at_errno[fault_count] = (int)strtol(end + 1, &end, 10);
    ++fault_count;
    at = *end == ',' ? end + 1 : "";
  }
  if (mode && strcmp(mode, "eintr") == 0) fault_mode = kModeEintr;
  if (mode && strcmp(mode, "short") == 0) fault_mode = kModeShort;
  if (mode && strcmp(mode, "kill") == 0) fault_mode = kModeKill;
  if (mode && strcmp(mode, "swap") == 0) fault_mode = kModeSwap;
  if (mode && strncmp(mode, "errno:", 6) == 0) {
    fault_mode = kModeErrno;
    fault_errno = atoi(mode + 6);
  }
  const char* every = getenv("FAULT_EVERY");
  if (every) fault_every = every;
  fault_sizeless = getenv("FAULT_SIZELESS") != NULL;
  fault_placing = getenv("FAULT_PLACING") != NULL;
  fault_threads = getenv("FAULT_THREADS") != NULL;
  fault_stats = getenv("FAULT_STATS") != NULL;
  const char* random = getenv("FAULT_RANDOM");
  if (random) fault_random = strcmp(random, "none") == 0 ? kRandomNone : atoi(random) & 0xFF;
  const char* trace = getenv("FAULT_TRACE");
  if (trace)
    trace_fd =
        (int)syscall(SYS_openat, AT_FDCWD, trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const char* seconds = getenv("FAULT_ALARM");
  if (seconds) alarm((unsigned)atoi(seconds));
  const char* alloc_in = getenv("FAULT_ALLOC_IN");
  if (alloc_in) find_allocating_functions(alloc_in);
}

static const char* fd_target(int fd, char* scratch, size_t size) {
  if (fd >= 0 && fd < kMaxFds && fd_paths[fd][0]) return fd_paths[fd];
  snprintf(scratch, size, "fd:%d", fd);
  return scratch;
}

/* Numbers this call, traces it, and says whether it is one of those to fail. The number is
 * taken atomically: compression workers allocate on threads of their own. */
static int is_fault(const char* function, const char* target) {
  const long number = __atomic_add_fetch(&call_count, 1, __ATOMIC_SEQ_CST);
  if (trace_fd >= 0) {
    char line[kPathSize + 64];
    int n = snprintf(line, sizeof line, "%ld %s %s\n", number, function, target);
    if (n > 0)
      syscall(SYS_write, trace_fd, line, (size_t)n < sizeof line ? (size_t)n : sizeof line);
  }
  pending_errno = 0;
  for (int i = 0; i < fault_count; ++i) {
    if (number != fault_at[i]) continue;
    pending_errno = fault_at_errno[i];
    return 1;
  }
  return strcmp(function, fault_every) == 0;
}

/* Sets errno for a failed system call; false when the mode fails no system call. */
static int fail(void) {
  if (pending_errno != 0) {
    errno = pending_errno;
    return 1;
  }
  if (fault_mode == kModeKill) raise(SIGKILL);
  if (fault_mode == kModeErrno)
    errno = fault_errno;
  else if (fault_mode == kModeEintr)
    errno = EINTR;
  else
    return 0;
  return 1;
}

/* What `path` names is moved aside and an empty plain file takes its place, with raw system
 * calls that are neither numbered nor failed themselves. */
static void swap_for_a_file(const char* path) {
  char moved[kPathSize + 8];
  if (snprintf(moved, sizeof moved, "%s.moved", path) >= (int)sizeof moved) return;
  if (syscall(SYS_renameat, AT_FDCWD, path, AT_FDCWD, moved) != 0) return;
  const long fd =
      syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) syscall(SYS_close, (int)fd);
}

/* For a system call: whether this call fails (-1 with errno set) instead of being made. */
static int fails_here(const char* function, const char* target) {
  return is_fault(function, target) && fail();
}

/* The same for a call given a path, which FAULT_MODE=swap may swap first. */
static int fails_at_path(const char* function, const char* path) {
  if (!is_fault(function, path)) return 0;
  if (fault_mode != kModeSwap || pending_errno != 0) return fail();
  swap_for_a_file(path);
  return 0;
}

static void remember(int fd, const char* path) {
  if (fd >= 0 && fd < kMaxFds) snprintf(fd_paths[fd], sizeof fd_paths[fd], "%s", path);
}

static void* next(const char* name) {
  return dlsym(RTLD_NEXT, name);
}

static int do_openat(int dirfd, const char* path, int flags, mode_t mode) {
  static int (*real)(int, const char*, int, ...);
  if (fails_at_path("open", path)) return -1;
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
  const int fault = is_fault("write", fd_target(fd, scratch, sizeof scratch));
  if (fault && fault_mode == kModeShort) {
    if (count > 1) count /= 2;
  } else if (fault && fail()) {
    return -1;
  }
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
  const int result = real(fd, status);
  if (result == 0 && fault_sizeless) status->st_size = 0;
  return result;
}

int fstat(int fd, struct stat* status) {
  return do_fstat(fd, status);
}

int ftruncate(int fd, off_t length) {
  static int (*real)(int, off_t);
  char scratch[32];
  if (fails_here("ftruncate", fd_target(fd, scratch, sizeof scratch))) return -1;
  if (!real) real = next("ftruncate");
  return real(fd, length);
}

/* A failed close still closes the descriptor, as Linux does: a write error that shows only
 * at close has released it all the same. */
int close(int fd) {
  static int (*real)(int);
  char scratch[32];
  if (!real) real = next("close");
  const int fault = is_fault("close", fd_target(fd, scratch, sizeof scratch));
  if (fd >= 0 && fd < kMaxFds) fd_paths[fd][0] = 0;
  const int result = real(fd);
  return fault && fail() ? -1 : result;
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

static int counted_allocation(const void* caller) {
  for (int i = 0; i < range_count; ++i)
    if ((uintptr_t)caller >= alloc_ranges[i].begin && (uintptr_t)caller < alloc_ranges[i].end)
      return 1;
  return 0;
}

static int allocation_fails(const void* caller) {
  return counted_allocation(caller) && is_fault("alloc", "-") && fault_mode == kModeErrno;
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

/* Large buffers are mapped directly; such a mapping counts and fails like any allocation. */
void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  static void* (*real)(void*, size_t, int, int, int, off_t);
  if (resolving) return (void*)syscall(SYS_mmap, address, length, protection, flags, fd, offset);
  if (!real) real = (void* (*)(void*, size_t, int, int, int, off_t))resolve("mmap");
  if (allocation_fails(__builtin_return_address(0))) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return real(address, length, protection, flags, fd, offset);
}

/* Starting a thread, numbered only with FAULT_THREADS. */
int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) {
  static int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  if (fault_threads && is_fault("thread", "-"))
    return fault_mode == kModeErrno ? fault_errno : EAGAIN;
  if (!real) real = next("pthread_create");
  return real(thread, attributes, start, argument);
}

/* Putting files in place, numbered only with FAULT_PLACING. */
int fsync(int fd) {
  static int (*real)(int);
  char scratch[32];
  if (fault_placing && fails_here("fsync", fd_target(fd, scratch, sizeof scratch))) return -1;
  if (!real) real = next("fsync");
  return real(fd);
}

int flock(int fd, int operation) {
  static int (*real)(int, int);
  char scratch[32];
  if (fault_placing && fails_here("flock", fd_target(fd, scratch, sizeof scratch))) return -1;
  if (!real) real = next("flock");
  return real(fd, operation);
}

int link(const char* old_path, const char* new_path) {
  static int (*real)(const char*, const char*);
  if (fault_placing && fails_here("link", new_path)) return -1;
  if (!real) real = next("link");
  return real(old_path, new_path);
}

int linkat(int old_dirfd, const char* old_path, int new_dirfd, const char* new_path, int flags) {
  static int (*real)(int, const char*, int, const char*, int);
  if (fault_placing && fails_here("linkat", new_path)) return -1;
  if (!real) real = next("linkat");
  return real(old_dirfd, old_path, new_dirfd, new_path, flags);
}

int rename(const char* old_path, const char* new_path) {
  static int (*real)(const char*, const char*);
  if (fault_placing && fails_here("rename", new_path)) return -1;
  if (!real) real = next("rename");
  return real(old_path, new_path);
}

int renameat2(int old_dirfd, const char* old_path, int new_dirfd, const char* new_path,
              unsigned int flags) {
  static int (*real)(int, const char*, int, const char*, unsigned int);
  if (fault_placing && fails_here("renameat2", new_path)) return -1;
  if (!real) real = next("renameat2");
  return real(old_dirfd, old_path, new_dirfd, new_path, flags);
}

/* Looking a path up, numbered only with FAULT_STATS. */
static int do_stat(const char* function, const char* path, struct stat* status) {
  static int (*real_stat)(const char*, struct stat*);
  static int (*real_lstat)(const char*, struct stat*);
  if (fault_stats && fails_at_path(function, path)) return -1;
  if (strcmp(function, "lstat") == 0) {
    if (!real_lstat) real_lstat = next("lstat");
    return real_lstat(path, status);
  }
  if (!real_stat) real_stat = next("stat");
  return real_stat(path, status);
}

int stat(const char* path, struct stat* status) {
  return do_stat("stat", path, status);
}

int stat64(const char* path, struct stat64* status) {
  return do_stat("stat", path, (struct stat*)status);
}

int lstat(const char* path, struct stat* status) {
  return do_stat("lstat", path, status);
}

int lstat64(const char* path, struct stat64* status) {
  return do_stat("lstat", path, (struct stat*)status);
}

ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  static ssize_t (*real)(void*, size_t, unsigned int);
  if (fault_random == kRandomNone) {
    errno = ENOSYS;
    return -1;
  }
  if (fault_random >= 0) {
    memset(buffer, fault_random, length);
    return (ssize_t)length;
  }
  if (!real) real = next("getrandom");
  return real(buffer, length, flags);
}
