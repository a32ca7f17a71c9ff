#include "platform/task.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/background.h"
#include "platform/signal_watch.h"
#include "tests/test_util.h"

// True while |pid| runs (a zombie does not count) for a second more: a
// killed process takes a moment to go.
bool isRunning(pid_t pid) {
  auto running = [pid] {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, name, state;
    return stat >> pidText >> name >> state && state != "Z";
  };
  for (int i = 0; i < 100 && running(); ++i) usleep(10000);
  return running();
}

// Pids a command wrote one per line.
std::vector<pid_t> pidsIn(const std::string& file) {
  std::ifstream in(file);
  std::vector<pid_t> pids;
  for (pid_t pid; in >> pid;) pids.push_back(pid);
  return pids;
}

// A SIGTERM sent to this process while a task runs, by each policy: what
// the task's end looks like, and that nothing it started runs on.
TEST(WaitForTask, TerminationSignalEndsOrReachesTheTask) {
  catchTerminationSignals();
  ScratchDir scratch;
  std::string pids = scratch / "pids";
  std::string trapping = "trap 'exit 7' TERM; echo $$ >> " + pids + "; while :; do sleep 0.05; done";
  const struct {
    OnSignal onSignal;
    std::string line;
    bool signalled;  // the task died of the signal (else it exited 7)
  } cases[] = {
      {OnSignal::kEndGroup, "sleep 30 & echo $! >> " + pids + "; " + trapping, true},
      {OnSignal::kPassOn, trapping, false},
      {OnSignal::kPassOnToChildren, "sh -c \"" + trapping + "\"; exit $?", false},
  };
  for (const auto& c : cases) {
    unlink(pids.c_str());
    pid_t pid = c.onSignal == OnSignal::kEndGroup ? launchShellTask(c.line)
                                                  : launchTask("/bin/sh", {"-c", c.line});
    ASSERT_GT(pid, 0);
    std::thread signaller([&] {
      while (pidsIn(pids).empty()) usleep(10000);
      kill(getpid(), SIGTERM);
    });
    auto start = std::chrono::steady_clock::now();
    int status = waitForTask(pid, c.onSignal);
    signaller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(WIFSIGNALED(status), c.signalled) << c.line;
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.signalled ? -1 : 7) << c.line;
    for (pid_t started : pidsIn(pids)) EXPECT_FALSE(isRunning(started)) << c.line;
  }
}

// The loop runs on while a command does; ending it early ends its group.
TEST(RunInBackground, DoneOnTheLoopOrEndedWithEverythingItStarted) {
  ScratchDir scratch;
  auto loop = newPollLoop();
  int ticks = 0, status = -1;
  std::function<void()> tick = [&] { ++ticks, loop->addTimer(0.005, tick); };
  loop->addTimer(0, tick);
  auto command = runInBackground(*loop, "sleep 0.1; exit 3", [&](int s) {
    status = s;
    loop->stop();
  });
  loop->run();
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_GT(ticks, 5);

  std::string pids = scratch / "pids";
  command = runInBackground(*loop, "sleep 30 & echo $! > " + pids + "; echo $$ >> " + pids +
                                       "; wait", [&](int) { ADD_FAILURE() << "not ended"; });
  while (pidsIn(pids).size() < 2) usleep(10000);
  command.reset();
  for (pid_t started : pidsIn(pids)) EXPECT_FALSE(isRunning(started));
}
