#ifndef SETUP_PLATFORM_TASK_H_
#define SETUP_PLATFORM_TASK_H_

#include <sys/types.h>

#include <string>
#include <vector>

// Starts |launchPath| with |arguments| (argv[0] is the launch path itself),
// inheriting environment, working directory, standard streams and process
// group. Returns at once with the child's pid, or -1 when it could not be
// started.
pid_t launchTask(const std::string& launchPath, const std::vector<std::string>& arguments);

// Starts "/bin/sh -c |commandLine|" as the leader of a process group of its
// own (so that it and what it runs can be ended together), standard input
// from /dev/null, output inherited. Returns its pid, or -1.
pid_t launchShellTask(const std::string& commandLine);

// What waitForTask does with a termination signal caught meanwhile (see
// platform/signal_watch.h).
enum class OnSignal {
  kEndGroup,           // kill the task's process group (launchShellTask)
  kPassOn,             // send the signal to the task, and go on waiting
  kPassOnToChildren,   // the task is a shell: send it to what the shell runs
};

// Waits for a task to end and returns its wait status (-1 when it was not
// a child). A signal that came from the terminal already reached the task's
// process group and is not passed on again.
int waitForTask(pid_t pid, OnSignal onSignal);

// The exit status a shell would report for |waitStatus|: the program's own
// status, 128 + n when signal n ended it, 255 when it did not run.
int exitStatusOf(int waitStatus);

// Kills the process group led by |pid| at once; reaps its leader and
// returns that wait status.
int endTaskGroup(pid_t pid);

// A descriptor that becomes readable when the child |pid| has ended, or -1
// where the system offers none.
int taskEndFd(pid_t pid);

#endif  // SETUP_PLATFORM_TASK_H_
