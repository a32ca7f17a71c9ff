#ifndef SETUP_TESTS_TEST_UTIL_H_
#define SETUP_TESTS_TEST_UTIL_H_

#include <stdlib.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

// A fresh directory for one test, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir(); ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with |value| null, unsets) an environment variable for a scope.
struct ScopedEnv {
  ScopedEnv(const char* name, const char* value) : name(name) {
    if (const char* was = getenv(name)) old = was;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old ? setenv(name.c_str(), old->c_str(), 1) : unsetenv(name.c_str()); }
  std::string name; std::optional<std::string> old;
};

void writeFile(const std::string& path, const std::string& bytes, int mode = 0644);
std::string readFile(const std::string& path);
bool pathExists(const std::string& path);

// Makes the zip archive |zip| holding |files| (name -> content) with the
// real zip program; "install" scripts are what the agent runs.
void makeZip(const std::string& zip, const std::map<std::string, std::string>& files);

// Runs |command| with /bin/sh, its output discarded; its exit status, or -1
// when it did not exit.
int shell(const std::string& command);

// Makes the minisign key pairs <dir>/<name>.pub and .sec, without password.
void makeMinisignKeys(const std::string& dir, const std::vector<std::string>& names);

// Signs |file| into |file|.minisig with |secretKey|; |flags| are added to
// minisign's command line as they stand.
void signWithMinisign(const std::string& secretKey, const std::string& file,
                      const std::string& flags = "");

// A free port on 127.0.0.1, as a string. With |listener|, a socket listens
// on it (and never accepts) until the caller closes it; without, nobody does.
std::string loopbackPort(int* listener = nullptr);

#endif  // SETUP_TESTS_TEST_UTIL_H_
