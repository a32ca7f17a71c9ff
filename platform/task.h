#ifndef SETUP_PLATFORM_TASK_H_
#define SETUP_PLATFORM_TASK_H_

#include <sys/types.h>

#include <string>
#include <vector>

// Starts |launchPath| with |arguments| (argv[0] is the launch path itself),
// inheriting environment, working directory and standard streams. Returns
// at once with the child's pid, or -1 when it could not be started.
pid_t launchTask(const std::string& launchPath, const std::vector<std::string>& arguments);

// Waits for a task started by launchTask to end; SIGINT and SIGQUIT are
// left to the task meanwhile, as system(3) does. Returns the wait status.
int waitForTask(pid_t pid);

#endif  // SETUP_PLATFORM_TASK_H_
