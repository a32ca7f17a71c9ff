// The terminal display of a real download: in place under a pseudo-terminal
// of a given width, plain lines into a file.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <regex>

#include "tests/integration/harness.h"

namespace {

// Runs |w|'s program on a pseudo-terminal |columns| wide (0: none given);
// returns what it wrote there and sets |seconds| to how long it ran.
std::string runOnTerminal(const World& w, const Env& env, unsigned short columns, double* seconds) {
  winsize size = {24, columns, 0, 0};
  double start = now();
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid == 0) {
    Strings vars;
    for (const auto& [name, value] : env) vars.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    if (chdir(w.home.c_str()) != 0) _exit(127);
    execle(w.program.c_str(), w.program.c_str(), nullptr, envp.data());
    _exit(127);
  }
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(master, buffer, sizeof(buffer))) > 0;) text.append(buffer, n);
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  *seconds = now() - start;
  EXPECT_EQ(WEXITSTATUS(status), 0) << text;
  return text;
}

// The pieces between carriage returns and line feeds, escapes removed.
Strings screenLines(const std::string& text) {
  std::string plain = std::regex_replace(text, std::regex("\033\\[[0-9;]*[A-Za-z]"), "");
  Strings lines;
  std::regex breaks("[\r\n]+");
  for (std::sregex_token_iterator it(plain.begin(), plain.end(), breaks, -1), end; it != end; ++it)
    lines.push_back(*it);
  return lines;
}

}  // namespace

TEST(Progress, TerminalLineFitsTheWidthWithFiguresAndFewRedraws) {
  servers().publish("progress.zip", "v1", 8 << 20);
  const struct { unsigned short winsize; const char* columns; size_t width; } cases[] = {
      {40, "", 40}, {0, "100", 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    World w;
    w.download(servers().faultUrl + "serve/progress.zip?pace=20");
    Env env = w.env;
    env["TERM"] = "xterm";
    env["COLUMNS"] = c.columns;
    double seconds = 0;
    std::string text = runOnTerminal(w, env, c.winsize, &seconds);
    for (const std::string& line : screenLines(text)) EXPECT_LT(line.size(), c.width) << line;
    EXPECT_TRUE(has(text, " MiB of ")) << text;
    EXPECT_EQ(has(text, " left"), c.width == 100) << text;  // dropped at 40 columns
    size_t redraws = std::count(text.begin(), text.end(), '\r');
    EXPECT_GE(redraws, 5u);
    EXPECT_LE(redraws, 10 * seconds + 10) << seconds;
    RecordProperty("redraws" + std::to_string(c.width), std::to_string(redraws));
  }
}

TEST(Progress, LogGetsFewPlainLinesWithFigures) {
  servers().publish("progress-log.zip", "v1", 1 << 20);
  World w;
  w.download(servers().faultUrl + "serve/progress-log.zip?pace=20&cut=50%");
  w.env["TERM"] = "dumb";
  w.env["NO_COLOR"] = "1";
  Result r = w.run({}, 90);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(std::regex_search(r.err, std::regex("[\x01-\x09\x0b-\x1f\x7f]"))) << r.err;
  long lines = std::count(r.err.begin(), r.err.end(), '\n');
  EXPECT_LE(lines, 20) << r.err;
  EXPECT_TRUE(has(r.err, "Connection lost; retrying in ")) << r.err;
  EXPECT_TRUE(has(r.err, " KiB of 1.0 MiB")) << r.err;
  RecordProperty("lines", std::to_string(lines));
}
