/* The decompression floor of the archive reader: reads the whole archive
   through zlib's gzip file interface in 32 KiB chunks and discards it. */
#include <fcntl.h>
#include <stdio.h>
#include <zlib.h>

int main(int argc, char** argv) {
  static char buffer[32768];
  long long total = 0;
  int n;
  if (argc != 2) {
    fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
    return 1;
  }
  gzFile in = gzopen(argv[1], "rb");
  if (!in) return perror(argv[1]), 1;
  while ((n = gzread(in, buffer, sizeof buffer)) > 0) total += n;
  gzclose(in);
  printf("%lld\n", total);
  return n < 0;
}
