#ifndef SETUP_UTIL_EXE_PATH_H_
#define SETUP_UTIL_EXE_PATH_H_

#include <sys/types.h>

#include <string>

// Where the running program lives: its main bundle's path (for a program
// outside an X.app bundle, the directory holding it). Empty when the
// program's own file cannot be known.
std::string getPathToExecutable();

// getPathToExecutable() without its last "/" or "\" and what follows; empty
// when that separator is the first byte or the path is empty.
std::string getDirectoryOfExecutable();

// Creates every missing directory along |path| with |mode|. Returns -1 with
// errno ENOTDIR when a component exists and is not a directory, else 0
// (a failing mkdir is not detected here).
int mkpath(std::string path, mode_t mode);

#endif  // SETUP_UTIL_EXE_PATH_H_
