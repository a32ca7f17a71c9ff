#ifndef SETUP_TESTS_INTEGRATION_HARNESS_H_
#define SETUP_TESTS_INTEGRATION_HARNESS_H_

// Support for running the real program against real files and processes:
// temporary directories, archives made with the zip tool, child processes
// with captured output and a hard time limit, and program bundles.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace it {

// The program under test and this directory of the source tree, from the
// environment the test runner sets.
std::string setupBinary();
std::string sourceDir();

// ---------------------------------------------------------------- files

// A fresh directory (mode 0700) removed with everything in it on
// destruction, whatever modes or owners its contents were given meanwhile.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "setup-it");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644);
std::string readFile(const std::string& path);
bool exists(const std::string& path);  // without following a final symlink
bool isDir(const std::string& path);
off_t fileSize(const std::string& path);  // -1 when absent
void makeDirs(const std::string& path, mode_t mode = 0755);
void copyFile(const std::string& from, const std::string& to, mode_t mode);
void removeTree(const std::string& path);
// Entry names, without "." and "..", sorted.
std::vector<std::string> listDir(const std::string& path);
// Entry names in |dir| that start with |prefix|.
std::vector<std::string> entriesStartingWith(const std::string& dir, const std::string& prefix);
// Every path below |root| (recursively) whose last component contains |needle|.
std::vector<std::string> findNamesContaining(const std::string& root, const std::string& needle);
std::string randomBytes(size_t count);

// ---------------------------------------------------------------- text

std::vector<std::string> splitNul(const std::string& bytes);
std::vector<std::string> splitLines(const std::string& text);
// True when |needles| occur as whole lines of |text| in this order (other
// lines may come between).
bool hasLinesInOrder(const std::string& text, const std::vector<std::string>& needles);
bool endsWithLines(const std::string& text, const std::vector<std::string>& tail);
std::string printable(const std::string& bytes);  // for failure messages
std::string printable(const std::vector<std::string>& items);

// ---------------------------------------------------------------- processes

// An environment: the test's own, less anything that would bring up a
// graphical window, plus the changes made with set() and unset().
class Environment {
 public:
  Environment();
  Environment& set(const std::string& name, const std::string& value);
  Environment& unset(const std::string& name);
  std::optional<std::string> get(const std::string& name) const;
  std::vector<std::string> entries() const;

 private:
  std::map<std::string, std::string> vars_;
};

// A child process in its own process group, with standard input on
// /dev/null and standard output and error captured. The destructor kills
// the whole group (the program's own children too) and reaps the child.
class Process {
 public:
  struct Options {
    std::string cwd;
    bool dieWithParent = true;  // the child gets SIGKILL should the test die
    bool keepStdinOpen = false; // a pipe instead of /dev/null
  };

  Process(const std::vector<std::string>& argv, const Environment& env, const Options& options);
  Process(const std::vector<std::string>& argv, const Environment& env);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool exited() const { return exited_; }
  // Reads what is ready, waiting at most |seconds|; reaps the child when it ends.
  void pump(double seconds);
  // Pumps until |needle| shows up in standard output (or error) or |seconds| pass.
  bool waitForStdout(const std::string& needle, double seconds);
  bool waitForStderr(const std::string& needle, double seconds);
  // Waits for the child to end and its output to close; false on timeout.
  bool wait(double seconds);
  void signal(int sig);       // to the child alone
  void signalGroup(int sig);  // to its whole process group
  // Kills the group and reaps the child.
  void kill();

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  // The exit code, or -1 when the child did not exit normally (yet).
  int exitCode() const;
  // The signal that ended the child, or 0.
  int termSignal() const;
  std::string describe() const;  // status and output, for failure messages

 private:
  void reap(bool block);
  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1, inFd_ = -1;
  bool exited_ = false;
  int status_ = 0;
  std::string out_, err_;
  std::string name_;
};

struct RunResult {
  bool timedOut = false;
  int exitCode = -1;
  int termSignal = 0;
  std::string out, err;
  double seconds = 0;
  std::string describe() const;
};

// Runs |argv| to the end, killing its process group after |timeout| seconds.
RunResult run(const std::vector<std::string>& argv, const Environment& env,
              const std::string& cwd = "", double timeout = 60);

double monotonicSeconds();

// ---------------------------------------------------------------- archives

// Zips the contents of |dir| (not |dir| itself) into |zipPath|, without
// extra attributes, stored uncompressed when |store| is set.
void makeZip(const std::string& dir, const std::string& zipPath, bool store = false);

// An install agent: a shell script "install" that records how it was run
// into the directory named by AGENT_OUT in its environment:
//   args  - its arguments, each followed by a NUL byte
//   self  - its $0
//   runs  - one line per run, holding |version|
// When a payload is asked for, "payload.bin" of that size lies beside the
// script, and the script refuses to run (creating AGENT_OUT/CANARY-partial)
// unless it finds it complete.
struct AgentSpec {
  std::string version = "v1";
  int exitStatus = 0;
  size_t payloadBytes = 0;
  std::map<std::string, std::string> extraFiles;  // relative path -> bytes
};
std::string agentScript(const AgentSpec& spec);
// Builds the agent's files in a scratch directory and zips them to |zipPath|.
void makeAgentZip(const AgentSpec& spec, const std::string& zipPath);

struct AgentRecord {
  bool ran = false;
  std::vector<std::string> args;
  std::string self;
  std::vector<std::string> runs;
};
AgentRecord readAgentRecord(const std::string& outDir);

// ---------------------------------------------------------------- bundles

// A copy of the program with its resource directory: either a plain
// directory holding both, or an X.app/Contents/{MacOS,Resources} tree.
struct Bundle {
  std::string program;
  std::string resources;
  std::string bundleZip() const { return resources + "/bundle.zip"; }
};
Bundle makeBundle(const std::string& parent, const std::string& name, bool appLayout);

}  // namespace it

#endif  // SETUP_TESTS_INTEGRATION_HARNESS_H_
