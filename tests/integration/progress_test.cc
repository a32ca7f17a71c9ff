// The terminal display of a real download: in place under a pseudo-terminal
// of a given width, plain lines into a file.

#include <regex>

#include "tests/integration/harness.h"

// |w|'s program run under script(1) on an xterm pseudo-terminal |columns|
// wide (0: none given); its output is what it wrote there.
static std::unique_ptr<Proc> onTerminal(const World& w, Env env, int columns) {
  env.insert({{"SETUP", w.program}, {"TERM", "xterm"}});
  std::string line = "stty cols " + std::to_string(columns) + " rows 24 && exec \"$SETUP\"";
  return std::make_unique<Proc>(Strings{"script", "-q", "-e", "-c", line, "/dev/null"}, env);
}

// Rows: the window's size, COLUMNS, and a download that ends well or is
// cut near its end and then gone, whose failure is red and whose log lines
// each start a line of their own, ending the status line first. Before a
// server answers, the terminal says what is going on at once.
TEST(Progress, TerminalLineFitsTheWidthWithFiguresAndFewRedraws) {
  servers().publish("progress.zip", "v1", 8 << 20);
  const struct { unsigned short winsize; const char* columns; size_t width; bool gone; } cases[] = {
      {40, "", 40, false}, {80, "", 80, false}, {0, "100", 100, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    World w;
    // 5 s: time for a time left.
    w.download(servers().faultUrl + "serve/progress.zip?pace=40" +
               (c.gone ? "&cut=90%&change=gone.zip" : ""));
    w.env["COLUMNS"] = c.columns;
    Result r = onTerminal(w, w.env, c.winsize)->finish(60);
    // No status line drawn in place, escapes left out, is as wide as the
    // terminal (log lines above it may be wider: the terminal wraps them).
    std::regex drawn("\r\033\\[K([^\r\n]*)");
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), drawn), end; it != end; ++it) {
      std::string line = std::regex_replace((*it)[1].str(), std::regex("\033\\[[0-9;]*[A-Za-z]"), "");
      EXPECT_LT(line.size() - 2 * std::count(line.begin(), line.end(), '\xe2'), c.width) << line;
    }
    // The time left is dropped at 40 columns; the bar shrinks to fit rather
    // than go when the time left appears.
    EXPECT_EQ(std::make_tuple(r.status, has(r.out, " MiB of "), has(r.out, " left"),
                              std::regex_search(r.out, std::regex("\\[[#.]+\\][^\r\n]* left"))),
              std::make_tuple(c.gone ? 255 : 0, true, c.width >= 80, c.width >= 80)) << r.out;
    const bool glued = std::regex_search(r.out, std::regex("[^\n]Download (interrupted|failed)"));
    EXPECT_EQ(std::make_tuple(has(r.out, "\nDownload interrupted: "), glued,
                              has(r.out, "\nDownload failed! Error - "),
                              has(r.out, "\033[31mError during the download process.")),
              std::make_tuple(c.gone, false, c.gone, c.gone)) << r.out;
    // Log lines and the retry add their own; the rows that end well count.
    size_t redraws = std::count(r.out.begin(), r.out.end(), '\r');
    EXPECT_TRUE(c.gone || (redraws >= 5 && redraws <= 10 * r.seconds + 10))
        << redraws << " in " << r.seconds << " s";
  }
  int listener = -1;
  std::string host = "127.0.0.1:" + loopbackPort(&listener);  // accepts, never answers
  World w;
  w.download("https://" + host + "/agent.zip");
  auto run = onTerminal(w, w.env, 80);
  EXPECT_TRUE(waitUntil([&] { return has(run->out(), "Connecting to " + host); }, 1.0)) << run->out();
  close(listener);
}

TEST(Progress, LogGetsFewPlainLinesWithFigures) {
  servers().publish("progress-log.zip", "v1", 1 << 20);
  World w;
  w.download(servers().faultUrl + "serve/progress-log.zip?pace=20&cut=50%");
  w.env.insert({{"TERM", "dumb"}, {"NO_COLOR", "1"}});
  Result r = w.run({}, 90);
  // No control characters, 20 lines at most, the figures.
  EXPECT_EQ(std::make_tuple(r.status, std::regex_search(r.err, std::regex("[\x01-\x09\x0b-\x1f\x7f]")),
                            std::count(r.err.begin(), r.err.end(), '\n') <= 20,
                            has(r.err, "Connection lost; retrying in "), has(r.err, " KiB of 1.0 MiB"),
                            has(r.err, "Downloading 100%")),
            std::make_tuple(0, false, true, true, true, true)) << r.err;
}
