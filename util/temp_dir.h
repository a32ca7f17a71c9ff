#ifndef SETUP_UTIL_TEMP_DIR_H_
#define SETUP_UTIL_TEMP_DIR_H_

#include <string>

// Owns a fresh private (0700) directory, made under the per-user temporary
// directory (else /tmp) as "zv" and six unique characters, and removes it
// with everything in it when destroyed. The directory holds a lock file
// (".owner", with the pid of its run) for as long as its run or an agent it
// started lives; such directories whose lock is free are removed first, and
// so are those of runs killed while making them (see temp_dir.cc).
class TempDir {
 public:
  // |name| is accepted for the reader; the directory's name does not use it.
  explicit TempDir(std::string name);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's path; empty when none could be made.
  std::string getDir() const { return dir; }

 private:
  std::string dir;
  int lock_ = -1;
};

#endif  // SETUP_UTIL_TEMP_DIR_H_
