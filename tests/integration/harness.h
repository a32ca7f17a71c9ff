#ifndef SETUP_TESTS_INTEGRATION_HARNESS_H_
#define SETUP_TESTS_INTEGRATION_HARNESS_H_

// Runs copies of the built program as a user would: each with its own HOME
// and TMPDIR, against nginx and fault_server.py on 127.0.0.1.

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "util/constants.h"

namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;
using Strings = std::vector<std::string>;
// How a run ended; status -1 when it was killed or ran out of time.
struct Result { int status; std::string out, err; double seconds; };

inline double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline bool has(const std::string& s, const std::string& part) { return s.find(part) != s.npos; }

inline bool waitUntil(const std::function<bool()>& done, double seconds) {
  for (double end = now() + seconds; !done(); usleep(10000)) if (now() > end) return false;
  return true;
}

// A child in its own process group (so that it and its children die
// together), every signal at its default, started in $HOME when |env| has
// one, its output going to files. The destructor kills the group.
struct Proc {
  Proc(const Strings& argv, const Env& env) {
    // The shell opens the streams and changes directory, then becomes |argv|.
    Strings all = {"/bin/sh", "-c", "cd \"${HOME:-.}\" && exec \"$@\" </dev/null >\"$0/out\" 2>\"$0/err\"",
                   dir.path()};
    all.insert(all.end(), argv.begin(), argv.end());
    Strings vars;
    for (const auto& [name, value] : env) vars.push_back(name + "=" + value);
    // A build with sanitizers tells its programs how to report through
    // these; the copies of the program started here must report the same way.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
      if (getenv(name) && !env.count(name)) vars.push_back(std::string(name) + "=" + getenv(name));
    auto pointers = [](const Strings& from) {
      std::vector<char*> to;
      for (const std::string& s : from) to.push_back(const_cast<char*>(s.c_str()));
      return to.push_back(nullptr), to;
    };
    posix_spawnattr_t attr; sigset_t every;
    posix_spawnattr_init(&attr), sigfillset(&every), posix_spawnattr_setsigdefault(&attr, &every);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    if (posix_spawn(&pid, "/bin/sh", nullptr, &attr, pointers(all).data(), pointers(vars).data()))
      throw std::runtime_error("cannot start " + argv[0]);
  }
  // Fails the running test when the program's standard error holds a
  // sanitizer's report. AddressSanitizer's go to files in a build with
  // sanitizers, but UBSan's runtime writes to standard error whatever
  // log_path says, and a test that expects a run to fail or be killed would
  // not notice it otherwise.
  ~Proc() {
    kill(-pid, SIGKILL);
    if (!reaped) waitpid(pid, &status, 0);
    for (const char* mark : {": runtime error: ", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer"})
      if (has(err(), mark)) ADD_FAILURE() << "a sanitizer reported:\n" << err();
  }
  bool ended() { return reaped = reaped || waitpid(pid, &status, WNOHANG) == pid; }
  std::string out() const { return readFile(dir / "out"); }
  std::string err() const { return readFile(dir / "err"); }
  // Waits at most |seconds| for the end, then kills the group.
  Result finish(double seconds) {
    double start = now(); bool exited = waitUntil([this] { return ended(); }, seconds);
    kill(-pid, SIGKILL);  // with whatever it left running
    return {exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1, out(), err(), now() - start};
  }
  ScratchDir dir;
  pid_t pid = -1; int status = 0; bool reaped = false;
};

// An X server for the tests' windows, its display number on its standard
// output once it listens. Without -noreset it starts over whenever its last
// client leaves, as each xdotool poll does, and drops a program that
// connected meanwhile: the program would then show no window.
inline const Strings kXvfb = {"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset"};

// Every entry below |dir| as a sorted relative path; the cache's lock file,
// which outlives the runs by design, left out.
inline Strings tree(const std::string& dir) {
  Strings found; std::error_code error;
  for (fs::recursive_directory_iterator it(dir, error), end; it != end; it.increment(error))
    if (it->path().filename() != ".lock")
      found.push_back(it->path().string().substr(dir.size() + (dir.back() != '/')));
  return std::sort(found.begin(), found.end()), found;
}

// An agent: "install" appends |tag| to $AGENT_OUT/runs; |checkAfter|
// seconds later (when not 0) makes $AGENT_OUT/CANARY unless its directory
// still holds its own "tag" file and a whole payload.bin (when it has one);
// then writes $0 to $AGENT_OUT/self and its arguments to $AGENT_OUT/args
// (NUL-terminated).
inline std::string agentScript(const std::string& tag, size_t payload = 0, int checkAfter = 0) {
  std::string dir = "\"${0%/*}/", canary = " || : > \"$AGENT_OUT/CANARY\"\n";
  std::string script = "printf '%s\\0' " + tag + " >> \"$AGENT_OUT/runs\"\n";
  std::string size = std::to_string(payload);
  if (checkAfter)
    script += "sleep " + std::to_string(checkAfter) + "\n[ \"$(cat " + dir + "tag\")\" = " + tag +
              " ]" + canary;
  if (payload) script += "[ \"$(wc -c < " + dir + "payload.bin\")\" -eq " + size + " ]" + canary;
  return script + "printf %s \"$0\" > \"$AGENT_OUT/self\"\n"
                  "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$AGENT_OUT/args\"\n";
}

// nginx serving www with ETag and Content-Length (as the demo and the
// benchmarks run it), and fault_server.py misbehaving with the same files;
// HTTPS with a self-signed certificate.
// Started on first use (servers()), stopped when the test program ends.
struct Servers {
  const ScratchDir dir;
  const std::string cert = dir / "cert.pem", key = dir / "key.pem", www = dir / "www";
  std::string nginxUrl, faultUrl;  // each ending in "/"
  std::unique_ptr<Proc> nginx, faults;
  // Publishes an agent on both, its file made anew and then renamed so that a
  // server never lacks it; returns the file.
  std::string publish(const std::string& name, const std::string& tag = "v1", size_t payload = 0,
                      int checkAfter = 0) {
    std::map<std::string, std::string> files = {{"install", agentScript(tag, payload, checkAfter)}};
    // Incompressible, so that unpacking it takes a while.
    if (payload) std::generate_n(std::back_inserter(files["payload.bin"]), payload, std::mt19937());
    if (checkAfter) files["tag"] = tag;
    const std::string zip = www + "/" + name;
    fs::remove(zip + ".new"), makeZip(zip + ".new", files), fs::rename(zip + ".new", zip);
    return zip;
  }
  static std::string etag(const std::string& file) {  // as nginx makes it
    struct stat st = {};
    stat(file.c_str(), &st);
    char text[40];
    return std::string(text, snprintf(text, sizeof(text), "\"%lx-%lx\"", st.st_mtime, st.st_size));
  }
  Servers() {
    fs::create_directory(www);
    // Under timeout: should this process die, they do not outlive it long.
    const Env env = {{"PATH", "/usr/sbin:/usr/bin:/bin"}};
    nginx.reset(new Proc({"timeout", "600", "bash", "-c", ". \"$0\" && run_https_server \"$1\" \"$2\"",
                          HTTPS_SERVER, dir.path(), www}, env));
    waitUntil([this] { return has(nginx->out(), "\n") || nginx->ended(); }, 20);
    if (nginx->out().empty()) throw std::runtime_error("nginx: " + nginx->err());
    faults.reset(new Proc({"timeout", "600", "python3", FAULT_SERVER, "--cert", cert, "--key", key,
                           "--root", www}, env));
    waitUntil([this] { return has(faults->out(), "\n") || faults->ended(); }, 20);
    if (faults->out().empty()) throw std::runtime_error("fault_server.py: " + faults->err());
    nginxUrl = "https://127.0.0.1:" + nginx->out().substr(0, nginx->out().find('\n')) + "/";
    faultUrl = "https://127.0.0.1:" + faults->out().substr(0, faults->out().find(' ')) + "/";
  }
  ~Servers() {  // gently, so that timeout reaps the server it started
    for (Proc* server : {faults.get(), nginx.get()}) kill(-server->pid, SIGTERM), server->finish(5);
  }
};

inline Servers& servers() { static Servers servers; return servers; }

// The fault server's log of the requests for |name|, one JSON object each.
inline std::string faultLog(const std::string& name) {
  return Proc({"curl", "-s", "--cacert", servers().cert, servers().faultUrl + "log/" + name},
              {{"PATH", getenv("PATH")}}).finish(60).out;
}

// One user: HOME, TMPDIR, AGENT_OUT and a copy of the program (with its
// window module) and bundle.zip, as dir/setup or as
// X.app/Contents/{MacOS,Resources}; |odd| ends the names of HOME, TMPDIR
// and the program's directory.
struct World {
  explicit World(bool app = false, const std::string& odd = "")
      : home(root / ("home" + odd)), tmp(root / ("tmp" + odd)), out(root / "out") {
    std::string dir = root / ("product" + odd);
    res = app ? dir + ".app/Contents/Resources" : dir;
    fs::path bin = app ? dir + ".app/Contents/MacOS" : dir, built = SETUP_BINARY;
    for (const std::string& p : {home, tmp, out, res, bin.string()}) fs::create_directories(p);
    fs::copy_file(built, program = bin / "setup");
    built.replace_filename("libsetup-gtk.so");
    if (fs::exists(built)) fs::copy_file(built, bin / built.filename());
    writeFile(res + "/bundle.zip", "the product\n");
    env = {{"PATH", getenv("PATH")}, {"HOME", home}, {"TMPDIR", tmp}, {"AGENT_OUT", out}};
  }
  ScratchDir root;
  std::string home, tmp, out, res, program;
  Env env;
  std::string cache() const { return home + "/" + INSTALLER_CACHE_DIR; }
  std::string stamp() const { return readFile(cache() + ".validatestring"); }
  void download(const std::string& url) {
    env["ZV_INTERNAL_INSTALL_AGENT_URL"] = url, env["CURL_CA_BUNDLE"] = servers().cert;
  }
  Strings argv(Strings args) const { return args.insert(args.begin(), program), args; }
  Result run(const Strings& args = {}, double timeout = 60) const {
    return Proc(argv(args), env).finish(timeout);
  }
  // What the agent must get for |args|; the agents that ran, what the last
  // got (each a NUL-terminated record in its file).
  Strings expected(Strings args) const {
    return args.insert(args.begin(), {"-installbundle", res + "/bundle.zip"}), args;
  }
  Strings records(const std::string& file) const {
    Strings found; std::istringstream in(readFile(out + "/" + file));
    for (std::string record; std::getline(in, record, '\0');) found.push_back(record);
    return found;
  }
  Strings runs() const { return records("runs"); }
  Strings args() const { return records("args"); }
};

// |w|'s program run under script(1) on an xterm pseudo-terminal |columns|
// wide (0: none given); its output is what it wrote there.
inline std::unique_ptr<Proc> onTerminal(const World& w, Env env, int columns) {
  env.insert({{"SETUP", w.program}, {"TERM", "xterm"}});
  std::string line = "stty cols " + std::to_string(columns) + " rows 24 && exec \"$SETUP\"";
  return std::make_unique<Proc>(Strings{"script", "-q", "-e", "-c", line, "/dev/null"}, env);
}

// What stays on each row of a terminal once a program is done writing
// |out| there: the text after the last erase on it, colours left out.
inline Strings rowsLeft(const std::string& out) {
  Strings stay;
  std::string colourless = std::regex_replace(out, std::regex("\033\\[[0-9;]*m"), "");
  for (size_t begin = 0, end; begin < colourless.size(); begin = end + 1) {
    end = std::min(colourless.find('\n', begin), colourless.size());
    std::string row = colourless.substr(begin, end - begin);
    if (!row.empty() && row.back() == '\r') row.pop_back();  // the terminal's own
    size_t erased = std::max(row.rfind("\033[K"), row.rfind('\r'));
    if (erased != std::string::npos) row = row.substr(erased + (row[erased] == '\r' ? 1 : 3));
    if (!row.empty()) stay.push_back(row);
  }
  return stay;
}

// Arguments a shell would mangle every way it can; CANARY marks a command run.
inline const Strings kArgs = {"two words", "", "it's", "say \"hi\"", "$HOME", "`touch CANARY`",
    "$(touch CANARY)", "a;touch CANARY", "a&&b|c", "line\nbreak", "tab\there", "*", "~", "-n", "'",
    "''", "\"", "!x", "#hash", "{a,b}", "a=b c", "\xc3\xa9t\xc3\xa9", "back\\slash", "trailing\\", ""};
// A path component that runs commands wherever it is pasted into one.
inline const std::string kHostile = " $(touch CANARY) `touch CANARY`;touch CANARY 'q\" \nnl &";

// Nothing in TMPDIR, |cache| in the cache, and no mark of a pasted command
// or of a partial agent.
inline void expectLeft(const World& w, const Strings& cache) {
  EXPECT_EQ(std::make_pair(tree(w.tmp), tree(w.cache())), std::make_pair(Strings{}, cache));
  for (const std::string& path : tree(w.root.path())) EXPECT_NE(fs::path(path).filename(), "CANARY");
}

// The command lines (NULs as blanks) of the running processes that mention
// |part|: what a run left behind, found by its own paths.
inline Strings processesMentioning(const std::string& part) {
  Strings found;
  std::error_code error;
  for (fs::directory_iterator it("/proc", error), end; it != end; it.increment(error)) {
    std::string line = readFile(it->path() / "cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    if (has(line, part)) found.push_back(line);
  }
  return found;
}

// How many unzips run below |root| (their command lines, not their shells').
inline long unzipsRunning(const std::string& root) {
  Strings all = processesMentioning(root);
  return std::count_if(all.begin(), all.end(), [](auto& line) { return !line.rfind("unzip ", 0); });
}

#endif  // SETUP_TESTS_INTEGRATION_HARNESS_H_
