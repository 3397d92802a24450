/* The floor for the benchmark: read main.wasm whole, deflate it raw at level 6 into a file.
 * Nothing else: no hashing, no signing, no archive structure. Usage: floor IN OUT */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

static void die(const char* what) {
  perror(what);
  exit(1);
}

static void write_all(int fd, const unsigned char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) die("write");
    p += w;
    n -= (size_t)w;
  }
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: floor IN OUT\n");
    return 2;
  }
  int in = open(argv[1], O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0) die("open input");
  size_t size = (size_t)st.st_size, got = 0;
  unsigned char* data = malloc(size ? size : 1);
  if (!data) die("malloc");
  while (got < size) {
    ssize_t r = read(in, data + got, size - got);
    if (r <= 0) die("read");
    got += (size_t)r;
  }
  close(in);

  int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) die("open output");
  z_stream z = {0};
  if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) die("deflateInit2");
  static unsigned char buffer[256 * 1024];
  z.next_in = data;
  z.avail_in = (uInt)size;
  int status;
  do {
    z.next_out = buffer;
    z.avail_out = sizeof buffer;
    status = deflate(&z, Z_FINISH);
    write_all(out, buffer, sizeof buffer - z.avail_out);
  } while (status != Z_STREAM_END);
  deflateEnd(&z);
  close(out);
  free(data);
  return 0;
}
