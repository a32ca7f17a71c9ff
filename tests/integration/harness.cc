#include "tests/integration/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace it {

namespace {

std::string requiredEnv(const char* name) {
  const char* value = getenv(name);
  if (!value || !*value)
    throw std::runtime_error(std::string(name) + " is not set; run through ctest");
  return value;
}

std::string errnoText(const std::string& what) {
  return what + ": " + strerror(errno);
}

}  // namespace

std::string setupBinary() { return requiredEnv("SETUP_BINARY"); }
std::string sourceDir() { return requiredEnv("SOURCE_DIR"); }

double monotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// ---------------------------------------------------------------- files

TempDir::TempDir(const std::string& prefix) {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(templ.begin(), templ.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error(errnoText("mkdtemp " + templ));
  path_ = buffer.data();
}

TempDir::~TempDir() { removeTree(path_); }

void writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error(errnoText("open " + path));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      throw std::runtime_error(errnoText("write " + path));
    }
    done += n;
  }
  close(fd);
  chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool isDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

off_t fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

void makeDirs(const std::string& path, mode_t mode) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    std::string prefix = path.substr(0, i);
    if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST)
      throw std::runtime_error(errnoText("mkdir " + prefix));
  }
}

void copyFile(const std::string& from, const std::string& to, mode_t mode) {
  writeFile(to, readFile(from), mode);
}

void removeTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path.c_str());
    return;
  }
  chmod(path.c_str(), 0700);
  for (const std::string& name : listDir(path)) removeTree(path + "/" + name);
  rmdir(path.c_str());
}

std::vector<std::string> listDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (!dir) return names;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> entriesStartingWith(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& name : listDir(dir))
    if (name.compare(0, prefix.size(), prefix) == 0) found.push_back(name);
  return found;
}

std::vector<std::string> findNamesContaining(const std::string& root, const std::string& needle) {
  std::vector<std::string> found;
  for (const std::string& name : listDir(root)) {
    std::string path = root + "/" + name;
    if (name.find(needle) != std::string::npos) found.push_back(path);
    if (isDir(path)) {
      std::vector<std::string> below = findNamesContaining(path, needle);
      found.insert(found.end(), below.begin(), below.end());
    }
  }
  return found;
}

std::string randomBytes(size_t count) {
  std::string bytes(count, '\0');
  std::ifstream in("/dev/urandom", std::ios::binary);
  in.read(&bytes[0], static_cast<std::streamsize>(count));
  if (!in) throw std::runtime_error("cannot read /dev/urandom");
  return bytes;
}

// ---------------------------------------------------------------- text

std::vector<std::string> splitNul(const std::string& bytes) {
  std::vector<std::string> items;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\0') continue;
    items.push_back(bytes.substr(start, i - start));
    start = i + 1;
  }
  if (start < bytes.size()) items.push_back(bytes.substr(start) + "<no terminating NUL>");
  return items;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool hasLinesInOrder(const std::string& text, const std::vector<std::string>& needles) {
  std::vector<std::string> lines = splitLines(text);
  auto at = lines.begin();
  for (const std::string& needle : needles) {
    at = std::find(at, lines.end(), needle);
    if (at == lines.end()) return false;
    ++at;
  }
  return true;
}

bool endsWithLines(const std::string& text, const std::vector<std::string>& tail) {
  std::vector<std::string> lines = splitLines(text);
  if (lines.size() < tail.size()) return false;
  return std::equal(tail.begin(), tail.end(), lines.end() - tail.size());
}

std::string printable(const std::string& bytes) {
  std::string shown = "\"";
  for (unsigned char c : bytes) {
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\\' || c == '"') {
      shown += '\\';
      shown += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02x", c);
      shown += hex;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown + "\"";
}

std::string printable(const std::vector<std::string>& items) {
  std::string shown = "[";
  for (size_t i = 0; i < items.size(); ++i) shown += (i ? ", " : "") + printable(items[i]);
  return shown + "]";
}

// ---------------------------------------------------------------- processes

Environment::Environment() {
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    size_t equals = text.find('=');
    if (equals != std::string::npos) vars_[text.substr(0, equals)] = text.substr(equals + 1);
  }
  // Nothing of the test runner's may steer the program: no window, no
  // proxy between it and the test servers, no knobs left from elsewhere.
  for (const char* name :
       {"DISPLAY", "WAYLAND_DISPLAY", "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY",
        "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY", "CURL_CA_BUNDLE", "SSL_CERT_FILE",
        "SSL_CERT_DIR", "SETUP_IDLE_TIMEOUT", "ZV_INTERNAL_INSTALL_AGENT_URL",
        "__ZV_BOOTSTRAP_INSTALLER_UNITTEST__", "AGENT_OUT", "CURL_HOME", "SSLKEYLOGFILE"})
    vars_.erase(name);
}

Environment& Environment::set(const std::string& name, const std::string& value) {
  vars_[name] = value;
  return *this;
}

Environment& Environment::unset(const std::string& name) {
  vars_.erase(name);
  return *this;
}

std::optional<std::string> Environment::get(const std::string& name) const {
  auto it = vars_.find(name);
  if (it == vars_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> Environment::entries() const {
  std::vector<std::string> entries;
  for (const auto& [name, value] : vars_) entries.push_back(name + "=" + value);
  return entries;
}

namespace {

// argv[0] as execve wants it: a path, searched on the test's own PATH.
std::string resolveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw std::runtime_error("not found on PATH: " + name);
}

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const Environment& env)
    : Process(argv, env, Options()) {}

Process::Process(const std::vector<std::string>& argv, const Environment& env,
                 const Options& options) {
  if (argv.empty()) throw std::runtime_error("no program to run");
  name_ = argv[0];
  std::string program = resolveProgram(argv[0]);
  // Everything the child needs is made before fork(): after it, only
  // async-signal-safe calls.
  std::vector<std::string> envEntries = env.entries();
  std::vector<char*> argvPtrs, envPtrs;
  for (const std::string& arg : argv) argvPtrs.push_back(const_cast<char*>(arg.c_str()));
  argvPtrs.push_back(nullptr);
  for (const std::string& entry : envEntries) envPtrs.push_back(const_cast<char*>(entry.c_str()));
  envPtrs.push_back(nullptr);
  const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();

  int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
    throw std::runtime_error(errnoText("pipe"));
  if (options.keepStdinOpen && pipe2(inPipe, O_CLOEXEC) != 0)
    throw std::runtime_error(errnoText("pipe"));
  int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t parent = getpid();

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(errnoText("fork"));
  if (pid == 0) {
    setpgid(0, 0);
    if (options.dieWithParent) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE, SIGHUP, SIGCHLD})
      sigaction(sig, &defaults, nullptr);
    dup2(options.keepStdinOpen ? inPipe[0] : devNull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    if (cwd && chdir(cwd) != 0) _exit(126);
    execve(program.c_str(), argvPtrs.data(), envPtrs.data());
    _exit(127);
  }
  // Both sides set the group, so that it exists whichever runs first.
  setpgid(pid, pid);
  pid_ = pid;
  close(devNull);
  close(outPipe[1]);
  close(errPipe[1]);
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
  if (options.keepStdinOpen) {
    close(inPipe[0]);
    inFd_ = inPipe[1];
  }
}

Process::~Process() {
  kill();
  closeFd(outFd_);
  closeFd(errFd_);
  closeFd(inFd_);
}

void Process::reap(bool block) {
  if (exited_ || pid_ < 0) return;
  int status = 0;
  pid_t done;
  do {
    done = waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done == pid_) {
    exited_ = true;
    status_ = status;
  }
}

void Process::pump(double seconds) {
  pollfd fds[2];
  int count = 0;
  if (outFd_ >= 0) fds[count++] = {outFd_, POLLIN, 0};
  if (errFd_ >= 0) fds[count++] = {errFd_, POLLIN, 0};
  int timeoutMs = static_cast<int>(seconds * 1000);
  if (count == 0) {
    // Nothing left to read: just give the child time to end.
    if (!exited_ && timeoutMs > 0) {
      timespec pause = {0, 10 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    reap(false);
    return;
  }
  int ready = poll(fds, count, timeoutMs);
  if (ready > 0) {
    for (int i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      bool isOut = fds[i].fd == outFd_;
      if (n <= 0) {
        closeFd(isOut ? outFd_ : errFd_);
        continue;
      }
      (isOut ? out_ : err_).append(buffer, n);
    }
  }
  reap(false);
}

bool Process::waitForStdout(const std::string& needle, double seconds) {
  double deadline = monotonicSeconds() + seconds;
  while (out_.find(needle) == std::string::npos) {
    if ((exited_ && outFd_ < 0) || monotonicSeconds() > deadline) return false;
    pump(0.05);
  }
  return true;
}

bool Process::waitForStderr(const std::string& needle, double seconds) {
  double deadline = monotonicSeconds() + seconds;
  while (err_.find(needle) == std::string::npos) {
    if ((exited_ && errFd_ < 0) || monotonicSeconds() > deadline) return false;
    pump(0.05);
  }
  return true;
}

bool Process::wait(double seconds) {
  double deadline = monotonicSeconds() + seconds;
  double drainUntil = -1;
  while (true) {
    double now = monotonicSeconds();
    if (exited_ && outFd_ < 0 && errFd_ < 0) return true;
    if (exited_) {
      // Output held open by a leftover grandchild: read what comes a little
      // longer, then stop waiting for it.
      if (drainUntil < 0) drainUntil = now + 3;
      if (now > drainUntil) return true;
    }
    if (now > deadline) return exited_;
    pump(std::min(0.1, deadline - now));
  }
}

void Process::signal(int sig) {
  if (pid_ > 0 && !exited_) ::kill(pid_, sig);
}

void Process::signalGroup(int sig) {
  if (pid_ > 0) ::kill(-pid_, sig);
}

void Process::kill() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGKILL);
  reap(true);
}

int Process::exitCode() const {
  return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int Process::termSignal() const { return exited_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }

std::string Process::describe() const {
  std::ostringstream text;
  text << name_ << ": ";
  if (!exited_)
    text << "still running";
  else if (termSignal())
    text << "killed by signal " << termSignal();
  else
    text << "exit " << exitCode();
  text << "\n--- stdout:\n" << out_ << "\n--- stderr:\n" << err_ << "\n---";
  return text.str();
}

std::string RunResult::describe() const {
  std::ostringstream text;
  if (timedOut)
    text << "timed out";
  else if (termSignal)
    text << "killed by signal " << termSignal;
  else
    text << "exit " << exitCode;
  text << " after " << seconds << " s\n--- stdout:\n" << out << "\n--- stderr:\n" << err << "\n---";
  return text.str();
}

RunResult run(const std::vector<std::string>& argv, const Environment& env,
              const std::string& cwd, double timeout) {
  double start = monotonicSeconds();
  Process::Options options;
  options.cwd = cwd;
  Process process(argv, env, options);
  RunResult result;
  result.timedOut = !process.wait(timeout);
  process.kill();
  result.exitCode = process.exitCode();
  result.termSignal = process.termSignal();
  result.out = process.out();
  result.err = process.err();
  result.seconds = monotonicSeconds() - start;
  if (result.timedOut) result.exitCode = -1;
  return result;
}

// ---------------------------------------------------------------- archives

void makeZip(const std::string& dir, const std::string& zipPath, bool store) {
  if (zipPath.empty() || zipPath[0] != '/') throw std::runtime_error("zip path must be absolute");
  unlink(zipPath.c_str());
  std::vector<std::string> argv = {"zip", "-q", "-X", "-r"};
  if (store) argv.push_back("-0");
  argv.push_back(zipPath);
  argv.push_back(".");
  RunResult result = run(argv, Environment(), dir, 60);
  if (result.exitCode != 0) throw std::runtime_error("zip failed: " + result.describe());
}

std::string agentScript(const AgentSpec& spec) {
  std::ostringstream script;
  script << "# Records how it was started, for the test that started it.\n"
         << "out=${AGENT_OUT:?AGENT_OUT is not set}\n"
         << "here=${0%/*}\n"
         << "echo " << spec.version << " >> \"$out/runs\"\n";
  if (spec.payloadBytes > 0) {
    // A partly unpacked agent must never get this far; make it loud.
    script << "if ! [ -f \"$here/payload.bin\" ] || "
           << "[ \"$(wc -c < \"$here/payload.bin\")\" -ne " << spec.payloadBytes << " ]; then\n"
           << "  : > \"$out/CANARY-partial\"\n"
           << "  exit 3\n"
           << "fi\n";
  }
  script << "printf '%s' \"$0\" > \"$out/self\"\n"
         << "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$out/args\"\n"
         << "exit " << spec.exitStatus << "\n";
  return script.str();
}

void makeAgentZip(const AgentSpec& spec, const std::string& zipPath) {
  TempDir scratch("setup-it-agent");
  writeFile(scratch / "install", agentScript(spec), 0755);
  if (spec.payloadBytes > 0) writeFile(scratch / "payload.bin", randomBytes(spec.payloadBytes));
  for (const auto& [relative, bytes] : spec.extraFiles) {
    std::string path = scratch / relative;
    makeDirs(path.substr(0, path.rfind('/')));
    writeFile(path, bytes);
  }
  makeZip(scratch.path(), zipPath, spec.payloadBytes > 0);
}

AgentRecord readAgentRecord(const std::string& outDir) {
  AgentRecord record;
  if (exists(outDir + "/runs")) record.runs = splitLines(readFile(outDir + "/runs"));
  if (exists(outDir + "/args")) {
    record.ran = true;
    record.args = splitNul(readFile(outDir + "/args"));
  }
  if (exists(outDir + "/self")) record.self = readFile(outDir + "/self");
  return record;
}

// ---------------------------------------------------------------- bundles

Bundle makeBundle(const std::string& parent, const std::string& name, bool appLayout) {
  Bundle bundle;
  if (appLayout) {
    std::string contents = parent + "/" + name + ".app/Contents";
    makeDirs(contents + "/MacOS");
    makeDirs(contents + "/Resources");
    bundle.program = contents + "/MacOS/setup";
    bundle.resources = contents + "/Resources";
  } else {
    makeDirs(parent + "/" + name);
    bundle.program = parent + "/" + name + "/setup";
    bundle.resources = parent + "/" + name;
  }
  copyFile(setupBinary(), bundle.program, 0755);
  writeFile(bundle.bundleZip(), "the product bundle\n");
  return bundle;
}

}  // namespace it
