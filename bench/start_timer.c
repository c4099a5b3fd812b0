/* Times two commands run alternately, each as a whole process: wall time
   from just before the spawn to the reaped exit, and the child's CPU time
   (user + system) from the kernel's accounting, which the load of a shared
   machine disturbs far less. Before every run, TEXT is written to FILE (the
   launcher consumes its argument file). Prints one line per run:
   "A|B wall_us cpu_us".

   usage: start_timer RUNS FILE TEXT COMMAND_A ... -- COMMAND_B ... */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static long long micros(struct timespec t) { return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000; }
static long long cpuMicros(const struct rusage* u) {
  return (long long)(u->ru_utime.tv_sec + u->ru_stime.tv_sec) * 1000000 + u->ru_utime.tv_usec +
         u->ru_stime.tv_usec;
}

static int writeFile(const char* path, const char* text) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  size_t length = strlen(text);
  int ok = write(fd, text, length) == (ssize_t)length;
  return close(fd) == 0 && ok ? 0 : -1;
}

/* One run with standard output and error discarded. */
static int timeRun(char** argv, const char* file, const char* text, long long* wall, long long* cpu) {
  if (writeFile(file, text) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &actions, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return -1;
  clock_gettime(CLOCK_MONOTONIC, &end);
  *wall = micros(end) - micros(start);
  *cpu = cpuMicros(&usage);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 7) {
    fprintf(stderr, "usage: start_timer RUNS FILE TEXT COMMAND_A ... -- COMMAND_B ...\n");
    return 2;
  }
  int runs = atoi(argv[1]);
  const char* file = argv[2];
  const char* text = argv[3];
  char** a = argv + 4;
  char** b = NULL;
  for (int i = 4; i < argc; ++i)
    if (strcmp(argv[i], "--") == 0) {
      argv[i] = NULL;
      b = argv + i + 1;
      break;
    }
  if (!b || !*b || runs < 1) {
    fprintf(stderr, "start_timer: two commands and a positive run count needed\n");
    return 2;
  }
  long long wall, cpu;
  /* One warm-up run of each: the page cache holds both afterwards. */
  if (timeRun(a, file, text, &wall, &cpu) != 0 || timeRun(b, file, text, &wall, &cpu) != 0) {
    perror("start_timer");
    return 1;
  }
  for (int i = 0; i < runs; ++i) {
    if (timeRun(a, file, text, &wall, &cpu) != 0) return 1;
    printf("A %lld %lld\n", wall, cpu);
    if (timeRun(b, file, text, &wall, &cpu) != 0) return 1;
    printf("B %lld %lld\n", wall, cpu);
  }
  return 0;
}
