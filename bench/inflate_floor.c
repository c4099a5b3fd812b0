/* The decompression floor of the archive reader: the same loop as the
   extraction's reading thread (the gzip header read by hand, then zlib's raw
   inflate from 128 KiB reads into 512 KiB buffers), with the output
   discarded. The extraction leaves the checksum to its writing thread, so
   the floor computes none either. Prints the number of bytes produced. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

enum { kInputSize = 128 * 1024, kBufferSize = 512 * 1024 };

static unsigned char input[kInputSize];
static z_stream z;
static int fd;

static int next_byte(void) {
  if (z.avail_in == 0) {
    ssize_t n = read(fd, input, sizeof input);
    if (n <= 0) return -1;
    z.next_in = input;
    z.avail_in = (uInt)n;
  }
  z.avail_in--;
  return *z.next_in++;
}

static int skip_header(void) {
  int flags, i, c;
  if (next_byte() != 0x1f || next_byte() != 0x8b || next_byte() != Z_DEFLATED) return -1;
  flags = next_byte();
  for (i = 0; i < 6; i++) next_byte();
  if (flags & 4) {
    int len = next_byte();
    len |= next_byte() << 8;
    for (i = 0; i < len; i++) next_byte();
  }
  if (flags & 8) do
      c = next_byte();
    while (c > 0);
  if (flags & 16) do
      c = next_byte();
    while (c > 0);
  if (flags & 2) next_byte(), next_byte();
  return 0;
}

int main(int argc, char** argv) {
  static unsigned char out[kBufferSize];
  long long total = 0;
  int status = Z_OK;
  if (argc != 2) {
    fprintf(stderr, "usage: %s ARCHIVE.tar.gz\n", argv[0]);
    return 1;
  }
  fd = open(argv[1], O_RDONLY);
  if (fd < 0) return perror(argv[1]), 1;
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK || skip_header() != 0) {
    fprintf(stderr, "%s: not a gzip file\n", argv[1]);
    return 1;
  }
  while (status != Z_STREAM_END) {
    z.next_out = out;
    z.avail_out = sizeof out;
    while (z.avail_out > 0) {
      if (z.avail_in == 0) {
        ssize_t n = read(fd, input, sizeof input);
        if (n <= 0) break;
        z.next_in = input;
        z.avail_in = (uInt)n;
      }
      status = inflate(&z, Z_NO_FLUSH);
      if (status == Z_STREAM_END) break;
      if (status != Z_OK) {
        fprintf(stderr, "%s: inflate failed (%d)\n", argv[1], status);
        return 1;
      }
    }
    if (z.avail_out == sizeof out && status != Z_STREAM_END) break;
    total += (long long)(sizeof out - z.avail_out);
  }
  inflateEnd(&z);
  printf("%lld\n", total);
  return status == Z_STREAM_END ? 0 : 1;
}
