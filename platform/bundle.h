#ifndef SETUP_PLATFORM_BUNDLE_H_
#define SETUP_PLATFORM_BUNDLE_H_

#include <string>

// The program's main bundle. A program in X.app/Contents/MacOS/ belongs to
// the bundle X.app, whose resources are in X.app/Contents/Resources; any
// other program is its own bundle: both paths are its directory.
struct MainBundle {
  std::string bundlePath;
  std::string resourcePath;
};

// The running program's file, from /proc/self/exe; empty when unreadable.
std::string programPath();

// Fills |bundle| from /proc/self/exe. Returns false when there is no main
// bundle (the link cannot be read).
bool getMainBundle(MainBundle* bundle);

// Derives the bundle of the program file at |programPath|.
MainBundle bundleForProgram(const std::string& programPath);

#endif  // SETUP_PLATFORM_BUNDLE_H_
