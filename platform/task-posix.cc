#include "platform/task.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "platform/signal_watch.h"

extern char** environ;

namespace {

std::vector<char*> argvOf(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// The child must not inherit the loop's signal handling or ignored signals.
pid_t spawn(const std::string& path, const std::vector<std::string>& arguments, bool ownGroup,
            posix_spawn_file_actions_t* files) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&defaults, number);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                            (ownGroup ? POSIX_SPAWN_SETPGROUP : 0));
  pid_t pid;
  int error = posix_spawn(&pid, path.c_str(), files, &attributes,
                          argvOf(path, arguments).data(), environ);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? pid : -1;
}

// The children of |pid| as the kernel lists them; empty where it does not.
std::vector<pid_t> childrenOf(pid_t pid) {
  std::ifstream list("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  std::vector<pid_t> children;
  for (pid_t child; list >> child;) children.push_back(child);
  return children;
}

void passOn(pid_t pid, OnSignal onSignal, const CaughtSignal& caught) {
  if (!caught.fromProcess) return;  // the terminal sent it to the whole group
  std::vector<pid_t> targets = {pid};
  if (onSignal == OnSignal::kPassOnToChildren && !(targets = childrenOf(pid)).size())
    targets = {pid};
  for (pid_t target : targets) kill(target, caught.number);
}

}  // namespace

pid_t launchTask(const std::string& launchPath, const std::vector<std::string>& arguments) {
  return spawn(launchPath, arguments, false, nullptr);
}

pid_t launchShellTask(const std::string& commandLine) {
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = spawn("/bin/sh", {"-c", commandLine}, true, &files);
  posix_spawn_file_actions_destroy(&files);
  return pid;
}

int taskEndFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  return -1;
#endif
}

int waitForTask(pid_t pid, OnSignal onSignal) {
  int endFd = taskEndFd(pid);
  int status = -1;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    CaughtSignal caught = takeCaughtSignal();
    if (caught.number && onSignal == OnSignal::kEndGroup) {
      status = endTaskGroup(pid);
      break;
    }
    if (caught.number) passOn(pid, onSignal, caught);
    // Without a descriptor for the task's end, look again now and then.
    pollfd fds[2] = {{caughtSignalFd(), POLLIN, 0}, {endFd, POLLIN, 0}};
    poll(fds, 2, endFd >= 0 ? -1 : 50);
  }
  if (endFd >= 0) close(endFd);
  return status;
}

int endTaskGroup(pid_t pid) {
  kill(-pid, SIGKILL);
  int status = -1;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

int exitStatusOf(int waitStatus) {
  if (waitStatus == -1) return 255;
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return 255;
}
