#ifndef SETUP_PLATFORM_CONSOLE_H_
#define SETUP_PLATFORM_CONSOLE_H_

// The terminal display redraws one status line in place on standard error.
// Anything else that writes a line there first ends that status line, so
// the two never run into each other.
void setStatusLinePending(bool pending);
void endStatusLine();

#endif  // SETUP_PLATFORM_CONSOLE_H_
