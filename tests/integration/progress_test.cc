// The terminal display of a real download: in place under a pseudo-terminal
// of a given width, plain lines into a file.

#include <regex>

#include "tests/integration/harness.h"
#include "util/text_columns.h"

// Rows: the window's size, COLUMNS, and a download that ends well or is
// cut near its end and then gone. Every line written fits the terminal;
// what stays once the run is done is the summary or the failure (cause
// first, in red), never a copy of the status line; the run's log (the
// proxy, the retries) is left to the system log; and the agent's first
// line starts a row of its own. Before a server answers, the terminal says
// what is going on at once.
TEST(Progress, TerminalLineFitsTheWidthWithFiguresAndFewRedraws) {
  std::map<std::string, std::string> speaks = {{"install", "echo the agent speaks >&2\n"}};
  std::generate_n(std::back_inserter(speaks["payload.bin"]), 8 << 20, std::mt19937());
  makeZip(servers().www + "/progress.zip", speaks);
  const struct { unsigned short winsize; const char* columns; size_t width; bool gone; } cases[] = {
      {40, "", 40, false}, {80, "", 80, false}, {0, "100", 100, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width); World w;
    // 5 s: time for a time left.
    w.download(servers().faultUrl + "serve/progress.zip?pace=40" +
               (c.gone ? "&cut=90%&change=gone.zip" : "")), w.env["COLUMNS"] = c.columns;
    Result r = onTerminal(w, w.env, c.winsize)->finish(60);
    std::string plain = std::regex_replace(r.out, std::regex("\033\\[[0-9;]*[A-Za-z]"), "");
    const std::regex line("[^\r\n]+");
    for (std::sregex_iterator it(plain.begin(), plain.end(), line), end; it != end; ++it)
      EXPECT_LT(textColumns(it->str()), int(c.width)) << it->str();
    // The time left is dropped at 40 columns; the bar shrinks to fit rather
    // than go when the time left appears.
    EXPECT_EQ(std::make_tuple(r.status, has(r.out, " MB of "), has(r.out, " left"),
                              std::regex_search(r.out, std::regex("\\[[#.]+\\][^\r\n]* left"))),
              std::make_tuple(c.gone ? 255 : 0, true, c.width >= 80, c.width >= 80)) << r.out;
    Strings stay = rowsLeft(r.out);
    const Strings expected = !c.gone ? Strings{"the agent speaks"} : Strings{
        "The server 127.0.0.1:" + servers().faultUrl.substr(18, 5) + " does not have the "
        "installer (HTTP status 404).", "Contact the vendor.", "Error during the download process.",
        "See your system log for more information.", "Installation failed."};
    // Before the agent's line, the summary (two rows at 40 columns).
    ASSERT_EQ(stay.size(), expected.size() + (c.gone ? 0 : c.width > 40 ? 1 : 2)) << r.out;
    EXPECT_EQ(Strings(stay.end() - expected.size(), stay.end()), expected) << r.out;
    EXPECT_TRUE(c.gone || !stay[0].rfind("Downloaded the installer: ", 0)) << stay[0];
    EXPECT_EQ(std::make_tuple(has(r.out, "Proxy:"), has(r.out, "Download failed!"),
                              has(r.out, "\033[31mThe server ")),
              std::make_tuple(false, false, c.gone)) << r.out;
    // Log lines and the retry add their own; the rows that end well count.
    size_t redraws = std::count(r.out.begin(), r.out.end(), '\r');
    EXPECT_TRUE(c.gone || (redraws >= 5 && redraws <= 10 * r.seconds + 10))
        << redraws << " in " << r.seconds << " s";
  }
  int listener = -1;
  std::string host = "127.0.0.1:" + loopbackPort(&listener);  // accepts, never answers
  World w; w.download("https://" + host + "/agent.zip");
  auto run = onTerminal(w, w.env, 80);
  EXPECT_TRUE(waitUntil([&] { return has(run->out(), "Connecting to " + host); }, 1.0)) << run->out();
  close(listener);
}

TEST(Progress, LogGetsFewPlainLinesWithFigures) {
  servers().publish("progress-log.zip", "v1", 1 << 20);
  World w; w.download(servers().faultUrl + "serve/progress-log.zip?pace=20&cut=50%");
  w.env.insert({{"TERM", "dumb"}, {"NO_COLOR", "1"}}); Result r = w.run({}, 90);
  // No control characters, 20 lines at most, the figures.
  EXPECT_EQ(std::make_tuple(r.status, std::regex_search(r.err, std::regex("[\x01-\x09\x0b-\x1f\x7f]")),
                            std::count(r.err.begin(), r.err.end(), '\n') <= 20,
                            has(r.err, "Connection lost; retrying in "), has(r.err, " kB of 1.0 MB"),
                            has(r.err, "Downloading 100%")),
            std::make_tuple(0, false, true, true, true, true)) << r.err;
}

// With parts of the archive on further connections, the figures count
// every byte on disk, not only the first ones in order: the percentage
// climbs in steps rather than jumping when the first connection's share
// meets the others', and the speed is the four connections' (each at
// 400 kB/s here), not the first one's.
TEST(Progress, CountsWhatEveryConnectionWrote) {
  servers().publish("progress-parts.zip", "v1", 4 << 20);
  World w; w.download(servers().faultUrl + "serve/progress-parts.zip?piece=4096&pace=10");
  w.env.insert({{"TERM", "dumb"}, {"NO_COLOR", "1"}, {"ZV_INTERNAL_PARTS", "3"}});
  Result r = w.run({}, 90);
  int before = 0, largestStep = 0;
  bool fast = false;
  const std::regex line("Downloading (\\d+)%[^\n]*");
  for (std::sregex_iterator it(r.err.begin(), r.err.end(), line), end; it != end; ++it) {
    int percent = std::stoi((*it)[1]);
    largestStep = std::max(largestStep, percent - before), before = percent;
    fast |= percent < 100 && has(it->str(), " MB/s");
  }
  EXPECT_EQ(std::make_tuple(r.status, before, largestStep <= 15, fast), std::make_tuple(0, 100, true, true))
      << r.err;
}
