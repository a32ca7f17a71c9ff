// Runs a command and prints its wall time in seconds, the peak resident
// memory, in KiB, of it and the children it waited for, the seconds to a
// phase (below), its exit status, and the CPU seconds (user and system) of
// it and the children it waited for:
//   measure [--until TEXT] -- COMMAND ARGS...
// With --until, also prints the seconds until TEXT first appeared on the
// command's standard error (which is passed through to a file given by
// MEASURE_STDERR, default /dev/null), for timing one phase of a run.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"

extern char** environ;

namespace {

// Copies the child's standard error to |sink|, noting when |marker| shows.
double watchStderr(int fd, const char* marker, FILE* sink, double start) {
  double seen = -1;
  std::string tail;
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) {
    fwrite(buffer, 1, n, sink);
    if (seen >= 0 || !marker) continue;
    tail.append(buffer, n);
    if (tail.find(marker) != std::string::npos) seen = monotonicSeconds() - start;
    if (tail.size() > 4096) tail.erase(0, tail.size() - 256);
  }
  return seen;
}

}  // namespace

int main(int argc, char** argv) {
  const char* marker = nullptr;
  int first = 1;
  if (argc > 2 && strcmp(argv[1], "--until") == 0) marker = argv[2], first = 3;
  if (first >= argc || strcmp(argv[first], "--") != 0 || first + 1 >= argc) {
    fprintf(stderr, "usage: measure [--until TEXT] -- COMMAND ARGS...\n");
    return 2;
  }
  const char* sinkPath = getenv("MEASURE_STDERR");
  FILE* sink = fopen(sinkPath ? sinkPath : "/dev/null", "w");
  int pipeFds[2];
  if (!sink || pipe(pipeFds) != 0) return 2;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  double start = monotonicSeconds();
  pid_t pid;
  if (posix_spawnp(&pid, argv[first + 1], &actions, nullptr, argv + first + 1, environ) != 0) return 2;
  close(pipeFds[1]);
  double phase = watchStderr(pipeFds[0], marker, sink, start);
  int status;
  rusage usage;
  wait4(pid, &status, 0, &usage);
  double wall = monotonicSeconds() - start;
  double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  printf("%.4f %ld %.4f %d %.4f\n", wall, usage.ru_maxrss, phase,
         WIFEXITED(status) ? WEXITSTATUS(status) : 128, cpu);
  return 0;
}
