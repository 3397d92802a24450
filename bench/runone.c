/* Runs one command once and prints its wall time in seconds, its peak resident set in KiB, its
 * exit status, and the user and system CPU seconds it used.
 * Usage: runone OUTFILE_FOR_STDOUT CMD [ARGS...]   (the command's stdout goes to that file) */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: runone STDOUT_FILE CMD [ARGS...]\n");
    return 2;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid;
  if (posix_spawnp(&pid, argv[2], &actions, NULL, argv + 2, environ) != 0) {
    perror("posix_spawnp");
    return 2;
  }
  int status;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0) {
    perror("wait4");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
  printf("%.9f %ld %d %.6f %.6f\n", seconds, usage.ru_maxrss,
         WIFEXITED(status) ? WEXITSTATUS(status) : 128,
         (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6,
         (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6);
  return 0;
}
