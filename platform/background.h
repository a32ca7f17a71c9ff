#ifndef SETUP_PLATFORM_BACKGROUND_H_
#define SETUP_PLATFORM_BACKGROUND_H_

#include <functional>

class Loop;

// Runs |work| on a thread of its own, then |done| on the loop's thread, so
// that a blocking step (unpacking) does not freeze the window.
void runInBackground(Loop& loop, std::function<void()> work, std::function<void()> done);

#endif  // SETUP_PLATFORM_BACKGROUND_H_
