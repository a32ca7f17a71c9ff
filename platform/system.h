#ifndef SETUP_PLATFORM_SYSTEM_H_
#define SETUP_PLATFORM_SYSTEM_H_

#include <cstdint>
#include <string>
#include <vector>

// Makes descriptors 0, 1 and 2 valid: each one that is closed gets
// /dev/null (read for 0, write for 1 and 2). Call it first thing in main,
// before anything opens a file: a file, pipe or lock opened while one is
// closed would take its number, and what is written to standard error
// would go there (or wait on it forever).
void openStandardDescriptors();

// The per-user temporary directory: $TMPDIR when set and not empty, else
// the empty string (callers fall back to "/tmp").
std::string temporaryDirectory();

// Removes |path| and everything below it without following symbolic links.
// Best effort: what cannot be removed stays. Returns true when |path| is gone.
bool removeItemAtPath(const std::string& path);

// Makes a fresh 0700 directory named |prefix| followed by six unique
// characters (|prefix| may hold a directory path). Returns its path, or the
// empty string when none could be made.
std::string makeUniqueDirectory(const std::string& prefix);

// Reads at most |limit| bytes of the regular file |path| into |bytes|,
// without following a symbolic link or blocking on a FIFO. False when
// |path| is not a regular file or cannot be read.
bool readRegularFile(const std::string& path, size_t limit, std::string* bytes);

// Writes |bytes| to a fresh file beside |path| (named |path| + "." + pid +
// "-" and six unique characters) and renames it over |path|, so that a
// reader sees the old contents or the new, never a part. False on failure,
// with nothing left behind.
bool writeFileAtomically(const std::string& path, const std::string& bytes);

// The part of |path| before its last "/" or "\" (the whole path when it has
// neither).
std::string stripLastComponent(const std::string& path);

// Whether anything exists at |path| (a symbolic link is followed).
bool fileExists(const std::string& path);

// The file system that holds |path| (an existing file or directory): the
// bytes an unprivileged writer may still use, the directory it is mounted
// on, and its device number (equal for two paths on one file system).
struct DiskSpace {
  int64_t freeBytes = 0;
  std::string mountPoint;
  uint64_t device = 0;
};
// False when it cannot be told.
bool diskSpaceAt(const std::string& path, DiskSpace* space);

// Joins a directory and one name with exactly one "/" between them.
std::string appendPathComponent(const std::string& dir, const std::string& name);

// The process's arguments as main received them (element 0 is the program).
void setProcessArguments(int argc, const char* const* argv);
const std::vector<std::string>& processArguments();

// One line to the system log (facility user). The download window puts
// the same line on standard error (DownloadWindow::logLine).
void systemLog(const std::string& line);

#endif  // SETUP_PLATFORM_SYSTEM_H_
