#include "download/download.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "agent/cache.h"
#include "agent/partial.h"
#include "display/window.h"
#include "download/bootstrap.h"
#include "download/progress.h"
#include "tests/fake_net.h"
#include "tests/test_util.h"
#include "util/constants.h"
#include "util/exe_path.h"

namespace {

class FakeWindow : public DownloadWindow {
 public:
  void setCloseHandler(std::function<void()> handler) override { onClose = handler; }
  void setSplash(const std::string& path, double, double) override { splash = path; }
  void setStatus(const std::string& text) override { statuses.push_back(text); }
  void updateStatus(const std::string& text) override { statuses.push_back(text); }
  void setFailureDetail(const std::string& c, const std::string& a) override { detail = {c, a}; }
  void setControls(WindowControls c) override { controls = c; }
  void setTryAgainHandler(std::function<void()> handler) override { tryAgain = handler; }
  void setStatusRed(bool isRed) override { red = isRed; }
  bool canBeClosedByUser() const override { return closable; }
  void logLine(const std::string& line) override { log.push_back(line); }
  void logDetail(const std::string& line) override { log.push_back(line); }
  bool cancelledByUser() const override { return false; }
  double progressMax() const override { return 100; }
  // What only draws.
  void setStatusSingleLine(bool) override {}
  void setFiguresWording(FiguresWording) override {}
  void setTransferFigures(const TransferFigures&) override {}
  void setProgressIndeterminate(bool) override {}
  void setProgressMax(double) override {}
  void setProgressValue(double) override {}
  void incrementProgress(double) override {}
  void setProgressAnimating(bool) override {}
  void setProgressShown(bool) override {}
  void setCancelEnabled(bool) override {}
  void displayIfNeeded() override {}
  void close() override { if (closed++ == 0 && onClose) onClose(); }

  std::function<void()> onClose, tryAgain;
  WindowControls controls = WindowControls::kCancel;
  std::string splash;
  bool red = false, closable = false;
  int closed = 0;
  std::vector<std::string> statuses, log, detail;
};

// The front end on fakes of its platform: a scripted server, a loop on a
// virtual clock, the real cache in a scratch HOME and the real unzip.
class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest() : home_("HOME", (scratch_ / "home").c_str()), server_{loop_} {
    mkpath(scratch_ / "res", 0700);
    writeFile(scratch_ / "res/bundle.zip", "the product");
    mkpath(getInstallAgentCacheDir() + INSTALL_AGENT_DIR_NAME, 0700);
    downloadTo = scratch_ / "InstallAgent.zip", downloadFrom = "https://host/agent";
    // The agent's archive: its install script and six incompressible entries,
    // which make it larger than the end asked first.
    std::map<std::string, std::string> files = {{"install", "exit 0\n"}};
    unsigned seed = 0;
    for (int i = 0; i < 6; ++i) {
      std::string& bytes = files["f" + std::to_string(i)] = std::string(100000, '\0');
      for (char& c : bytes) c = static_cast<char>(seed = seed * 1103515245 + 12345, seed >> 16);
    }
    makeZip(scratch_ / "agent.zip", files);
    archiveSize_ = readFile(scratch_ / "agent.zip").size();
  }

  // Runs the front end on the fakes until the loop is idle; then |then|,
  // when given, and the loop until idle once more.
  void run(std::function<void()> then = nullptr) {
    DownloadPlatform p;
    p.loop = &loop_, p.window = &window_;
    p.net.startTransfer = [this](const TransferRequest& r, TransferDelegate& d) {
      // The body lands as a real transfer would put it: a range at its place.
      if (r.url.rfind(downloadFrom, 0) == 0 && server_.asked.size() < server_.script.size()) {
        const Exchange& next = server_.script[server_.asked.size()];
        bool signature = r.url == downloadFrom + ".minisig";
        std::string zip = readFile(releaseOf(next.etag) + (signature ? ".minisig" : ""));
        if (next.status == 200) writeFile(r.destination, zip);
        int fd = open(r.destination.c_str(), O_WRONLY | O_CREAT, 0600);
        if (next.status == 206 &&
            pwrite(fd, zip.data() + next.rangeStart, next.expectedLength, next.rangeStart) <= 0)
          ADD_FAILURE() << "cannot write the range";
        close(fd);
      }
      return server_.start(r, d);
    };
    p.net.random = [] { return 0.0; };
    p.net.log = [this](const std::string& line) { window_.logLine(line); };
    p.launchTask = [this](const std::string& program, const std::vector<std::string>& args) {
      launched_ = args;
      launched_.insert(launched_.begin(), program);
      return pid_t(4242);
    };
    p.runInBackground = [this](const std::string& line, std::function<void(int)> done) {
      window_.logLine("unzip started");
      loop_.addTimer(0, [done, status = system(line.c_str())] { done(status); });
      return std::function<void()>([] {});
    };
    p.clock = [this] { return loop_.now; };
    p.resourceDir = scratch_ / "res", p.arguments = {"setup", "--flag", "a b"};
    p.useCache = true, p.unpackWorkers = 2;
    p.diskSpace = [this](auto&, DiskSpace* space) { *space = {free_, "/", 1}; return true; };
    Download download(p, 5.0);
    download.init();
    download.applicationDidFinishLaunching();
    loop_.runUntilIdle();
    if (then) then(), loop_.runUntilIdle();
    agent_ = download.agentTask();
  }

  // The archive an answer with |etag| is of: with a 2 in it, the second
  // release's; else the first's.
  std::string releaseOf(const std::string& etag) {
    return scratch_ / (etag.find('2') != std::string::npos ? "agent2.zip" : "agent.zip");
  }

  // Key k in the bundle, signing |zips|; false without minisign.
  bool signedWithK(const std::vector<std::string>& zips = {"agent.zip"}) {
    if (shell("command -v minisign") != 0) return false;
    makeMinisignKeys(scratch_.path(), {"k"});
    writeFile(scratch_ / "res/InstallAgent.pub", readFile(scratch_ / "k.pub"));
    for (const std::string& zip : zips) signWithMinisign(scratch_ / "k.sec", scratch_ / zip);
    return true;
  }

  std::vector<std::string> expectedLaunch() {
    return {"/bin/sh", getInstallAgentCacheDir() + "installagent/install", "-installbundle",
            scratch_ / "res/bundle.zip", "--flag", "a b"};
  }

  ScratchDir scratch_;
  ScopedEnv home_;
  FakeLoop loop_;
  ScriptedServer server_;
  FakeWindow window_;
  std::vector<std::string> launched_;
  int64_t free_ = 2000000000;  // on the one file system
  pid_t agent_ = -1;
  int64_t archiveSize_ = 0;
};

// A transient failure first says that it waits, counting down; a failure
// shows the red text and ends a run nobody can close. (Its words and log
// line: BrokenDownloadsFailAndLeaveNothing in tests/integration/setup_test.cc.)
TEST_F(DownloadTest, FailureIsShownAndEndsTheRun) {
  server_.script = {status(503, "2"), status(404)};
  run();
  EXPECT_EQ(window_.statuses.at(1), "The server is busy; retrying in 2 s");
  EXPECT_EQ(window_.statuses.at(2), "The server is busy; retrying in 1 s");
  EXPECT_EQ(std::make_tuple(window_.red, window_.controls, window_.closed, agent_),
            std::make_tuple(true, WindowControls::kClose, 1, pid_t(-1)));
}

// In a window, a failure that trying again may mend offers Try Again,
// which downloads once more in the same window.
TEST_F(DownloadTest, TryAgainAfterAFailureThatMayPass) {
  window_.closable = true;
  server_.script.assign(RetryPolicy::kMaxAttempts, status(0));
  for (Exchange& cut : server_.script) cut.end = TransferFault::kNetwork;
  server_.script.push_back(ok("\"k\"", archiveSize_));
  run([&] {
    EXPECT_EQ(std::make_tuple(window_.controls, window_.statuses.back(), window_.detail.at(0),
                              bool(window_.tryAgain)),
              std::make_tuple(WindowControls::kCloseOrTryAgain, "Cannot reach host.",
                              "Check the network connection or the proxy settings, then press "
                              "Try Again.", true));
    if (window_.tryAgain) window_.tryAgain();
  });
  // The log's story ends with the try that worked.
  const std::string worked = "Downloaded the installer after trying again: ";
  auto summary = std::find_if(window_.log.begin(), window_.log.end(),
                              [&](const std::string& line) { return !line.rfind(worked, 0); });
  EXPECT_EQ(std::make_tuple(window_.controls, launched_, window_.closed, summary != window_.log.end()),
            std::make_tuple(WindowControls::kCancel, expectedLaunch(), 0, true));
}

// Kept bytes that turn out damaged fail the unpacking once: the archive is
// fetched whole again within the run. Kept first bytes are continued after
// them; a kept end alone (a run killed before its first bytes counted) from
// the start, without asking for the end again.
TEST_F(DownloadTest, ContinuedArchiveThatDoesNotUnpackIsFetchedWholeOnce) {
  int64_t end = archiveSize_ - kZipSuggestedTail;
  for (bool endAlone : {false, true}) {
    SCOPED_TRACE(endAlone ? "the end alone" : "first bytes");
    server_.asked.clear(), launched_.clear();
    removeValidationString(getInstallAgentCacheDir());  // the first row's agent is no hit
    {
      KeptPart part(getInstallAgentCacheDir());
      writeFile(part.path(), endAlone ? std::string(archiveSize_, 'x') : "damaged kept bytes");
      ByteRanges after = endAlone ? ByteRanges{{end, kZipSuggestedTail}} : ByteRanges();
      part.describe(downloadFrom, "\"k\"", archiveSize_, endAlone ? 0 : -1, after);
    }
    server_.script = {partial(endAlone ? 0 : 18, archiveSize_), ok("\"k\"", archiveSize_)};
    // The transfer counts the kept end in order once its bytes reach it.
    if (endAlone) server_.script[0].expectedLength = end, server_.script[0].body = archiveSize_;
    run();
    ASSERT_EQ(server_.asked.size(), 2u);
    const Asked& first = server_.asked[0];
    EXPECT_EQ(std::make_tuple(first.rangeStart, first.suffixLength, first.ifRange, first.written,
                              server_.asked[1].rangeStart, server_.asked[1].ifRange, launched_),
              std::make_tuple(int64_t(endAlone ? 0 : 18), int64_t(0), std::string("\"k\""),
                              endAlone ? ByteRanges{{end, kZipSuggestedTail}} : ByteRanges(),
                              int64_t(0), std::string(), expectedLaunch()));
  }
}

// A server that ignores If-None-Match answers the end's request with a 206;
// an ETag that weakly matches the stamp (the stamp made while the file was
// younger than a second) still starts the cached agent, without the body.
TEST_F(DownloadTest, IgnoredConditionWithTheSameEtagWeaklyStartsTheCachedAgent) {
  writeFile(getInstallAgentCacheDir() + "installagent/install", "exit 0\n");
  writeValidationString(getInstallAgentCacheDir(), "W/\"k\"");
  server_.script = {partial(archiveSize_ - kZipSuggestedTail, archiveSize_)};
  run();
  EXPECT_EQ(std::make_tuple(server_.asked.size(), server_.asked[0].ifNoneMatch, launched_),
            std::make_tuple(1u, std::string("W/\"k\""), expectedLaunch()));
}

// The splash shows; the archive's end comes first, then the rest, and its
// entries are unpacked in batches as they arrive, before the download is
// over; the agent is stamped and handed the run, and nothing is left to
// continue. (What each request carries: Transfers.CutsAreContinuedWhereTheEtagAllows
// in tests/integration/transfer_test.cc; the agent unpacked whole:
// Unpack.TheAgentIsAsOnePlainUnzipMakesIt in tests/integration/unpack_test.cc.)
TEST_F(DownloadTest, EndFirstThenTheRestUnpackedAsItArrives) {
  writeFile(scratch_ / "res/splash.png", "png");
  int64_t end = archiveSize_ - kZipSuggestedTail;
  server_.script = {partial(end, archiveSize_), partial(0, archiveSize_)};
  server_.script[1].expectedLength = end;  // the bytes before the end
  run();
  std::string cache = getInstallAgentCacheDir();
  EXPECT_EQ(std::make_tuple(server_.asked.size(), window_.splash, launched_, agent_,
                            readValidationString(cache), window_.statuses.back(), loop_.stopped,
                            pathExists(cache + ".part")),
            std::make_tuple(2u, scratch_ / "res/splash.png", expectedLaunch(), 4242,
                            std::string("\"k\""), std::string("Initializing the installer"),
                            true, false));
  // Some batches ran while the body was still arriving (it comes in two
  // halves), the rest after it.
  std::string downloaded = "Downloaded the installer: " + formatSiBytes(archiveSize_) + " in 0:00";
  auto unpacking = std::find(window_.log.begin(), window_.log.end(), downloaded);
  EXPECT_GE(std::count(window_.log.begin(), unpacking, "unzip started"), 1);
  EXPECT_GE(std::count(unpacking, window_.log.end(), "unzip started"), 1);
}

// Room for the archive and the unpacked agent is checked from the
// directory, before the body: each alone fits 900 kB, not both. A server
// that ignores ranges sends the whole archive to the end's request: its
// announced length is checked before a byte is written. A shortfall ends
// the run with one line and nothing kept.
TEST_F(DownloadTest, DiskSpaceIsCheckedBeforeTheBody) {
  const struct { int64_t free; Exchange answer; std::string needed; } cases[] = {
      {900000, partial(archiveSize_ - kZipSuggestedTail, archiveSize_), "967.3 kB"},
      {500000, ok("\"k\"", archiveSize_), formatSiBytes(archiveSize_)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.needed);
    free_ = c.free, server_.script = {c.answer}, server_.asked.clear(), window_ = {};
    run();
    std::string cache = getInstallAgentCacheDir(), free = formatSiBytes(c.free);
    EXPECT_EQ(std::make_tuple(server_.asked.size(), window_.statuses.back(), window_.detail.at(0),
                              pathExists(cache + ".part.info"), readFile(cache + ".part"),
                              launched_.empty()),
              std::make_tuple(1u, "Not enough disk space: " + c.needed + " needed in /, " + free +
                              " free.", "Free some disk space, then run the installer again.",
                              false, std::string(), true));
  }
  // File systems count apart.
  auto two = [](const std::string& path, DiskSpace* space) {
    *space = {1000, path, path == "/a" ? 1u : 2u};
    return true;
  };
  EXPECT_EQ(spaceShortfall({{"/a", 600}, {"/b", 600}}, two), "");
  EXPECT_EQ(spaceShortfall({{"/a", 600}, {"/b", 600}, {"/b", 600}}, two),
            "Not enough disk space: 1.2 kB needed in /b, 1.0 kB free");
}

// A directory longer than the end first asked for (thousands of entries
// with long names) is read whole, the rest of it asked for before the body:
// the room is checked from it. A signature larger than any real one is
// refused from its announced length, unread.
TEST_F(DownloadTest, LongDirectoriesAreReadAheadAndLargeSignaturesRefused) {
  ScratchDir tree;
  writeFile(tree / "install", "exit 0\n");
  for (int i = 0; i < 1300; ++i) writeFile(tree / (std::string(200, 'd') + std::to_string(i)), "x");
  unlink((scratch_ / "agent.zip").c_str());
  ASSERT_EQ(shell("cd " + tree.path() + " && zip -qrX " + scratch_ / "agent.zip ."), 0);
  std::string zip = readFile(scratch_ / "agent.zip");
  int64_t size = zip.size(), end = size - kZipSuggestedTail;
  ZipDirectoryLocation where;
  std::string error;
  ASSERT_FALSE(findCentralDirectory(zip.substr(end), size, &where, &error)) << error;
  Exchange rest = partial(size - where.needTail, size);
  rest.expectedLength = end - rest.rangeStart;
  free_ = 1000, server_.script = {partial(end, size), rest};
  run();
  EXPECT_EQ(std::make_tuple(server_.asked.size(), window_.statuses.back().rfind("Not enough disk", 0)),
            std::make_tuple(2u, size_t(0)));

  if (!signedWithK()) GTEST_SKIP() << "minisign is not installed";
  free_ = 2000000000, server_.script = {ok("\"k\"", size), ok("", 100000)}, window_ = {};
  server_.asked.clear();
  run();
  EXPECT_EQ(std::make_tuple(launched_.empty(), std::count(window_.log.begin(), window_.log.end(),
            "Download failed! Error - The signature is larger than 8192 bytes. https://host/agent.minisig")),
            std::make_tuple(true, 1));
}

// What becomes of a signed archive. A signature that does not come (here
// the connection to it cannot be trusted) says nothing against it: the run
// fails as a download does, the archive kept whole, and the next run asks
// for its last byte only, then the signature, and places the agent, the
// archive's description gone. Beside the placed agent the archive is kept
// for the next update by delta only while the disk keeps 1 GB and the
// archive's size free besides the agent unpacked: here it falls short by
// less than the agent's size. (One kept and updated by delta:
// ChangedAgentRebuiltFromAKeptArchiveOverHttp2 in
// tests/integration/delta_test.cc; an unsigned agent keeps none: the
// cache's tree in Transfers.CutsAreContinuedWhereTheEtagAllows.)
TEST_F(DownloadTest, SignedArchiveOutlivesAMissingSignatureAndIsKeptOnlyWithRoom) {
  if (!signedWithK()) GTEST_SKIP() << "minisign is not installed";
  free_ = 1000000000 + archiveSize_ + 500000;
  int64_t signature = readFile(scratch_ / "agent.zip.minisig").size();
  server_.script = {ok("\"k\"", archiveSize_), ok("", signature, 0, TransferFault::kRefused),
                    partial(archiveSize_ - 1, archiveSize_), ok("", signature)};
  run();
  std::string failed = window_.statuses.back();
  run();
  EXPECT_EQ(std::make_tuple(failed, server_.asked.size(), server_.asked[2].rangeStart, launched_,
                            pathExists(getInstallAgentCacheDir() + ".part.info"),
                            pathExists(getInstallAgentCacheDir() + "installagent.zip")),
            std::make_tuple("The connection to host cannot be trusted.", 4u, archiveSize_ - 1,
                            expectedLaunch(), false, false));
}

// A release published while a signed run fetches the archive and its
// signature: the two do not check together. Each row: the server's
// answers, one word a request: a<N> the whole archive with ETag "N", s<N>
// a signature with ETag "sN" (s-: the first release's, without one), = a
// 304 to the question whether a file is unchanged, ~<ETag> an answer to it
// naming that ETag, 404. Then the If-None-Match of the questions, and the
// failure's cause (empty: the agent starts).
struct ReleaseRow { std::string answers, asked, failure; };
void PrintTo(const ReleaseRow& row, std::ostream* out) { *out << row.answers; }
class ReleaseSwitchTest : public DownloadTest, public testing::WithParamInterface<ReleaseRow> {};

const std::string kDamaged = "The installer from host was damaged or is not signed by the product's key.";
// The archive changed, the signature changed, the archive changed a
// moment after the signature; unchanged (asked twice), the condition
// ignored, no answer; a new release at every request.
const ReleaseRow kReleaseRows[] = {
    {"a1 s2 ~\"2\" a2 s2", "\"1\" ", ""}, {"a2 s1 = ~\"s2\" a2 s2", "\"2\" \"s1\" ", ""},
    {"a1 s2 = = ~\"2\" a2 s2", "\"1\" \"s2\" \"1\" ", ""},
    {"a1 s2 = = = =", "\"1\" \"s2\" \"1\" \"s2\" ", kDamaged},
    {"a2 s- ~W/\"2\" ~W/\"2\"", "\"2\" \"2\" ", kDamaged},
    {"a1 s2 404", "\"1\" ", kDamaged}, {"a1 s2 ~\"3\" a3 s2 ~\"4\" a2 s1 ~\"5\"", "\"1\" \"3\" \"2\" ",
    "The installer on host changed while it was being downloaded."}};
INSTANTIATE_TEST_SUITE_P(Rows, ReleaseSwitchTest, testing::ValuesIn(kReleaseRows));

TEST_P(ReleaseSwitchTest, OnlyAnUnchangedReleaseIsDamaged) {
  makeZip(scratch_ / "agent2.zip", {{"install", "exit 2\n"}});
  if (!signedWithK({"agent.zip", "agent2.zip"})) GTEST_SKIP() << "minisign is not installed";
  std::istringstream answers(GetParam().answers);
  for (std::string w; answers >> w;) {
    std::string etag = w == "s-" ? "" : w[0] == 'a' ? "\"" + w.substr(1) + "\"" : "\"" + w + "\"";
    size_t size = readFile(releaseOf(etag) + (w[0] == 's' ? ".minisig" : "")).size();
    server_.script.push_back(w == "=" ? status(304) : w[0] == '~' ? partial(0, 1, -1, {}, w.substr(1))
                             : isdigit(w[0]) ? status(std::stol(w)) : ok(etag, size));
  }
  run();
  std::string asked;
  for (const Asked& a : server_.asked) asked += a.suffixLength == 1 ? a.ifNoneMatch + " " : "";
  const ReleaseRow& row = GetParam();
  EXPECT_EQ(std::make_tuple(server_.asked.size(), asked, launched_.empty(),
                            window_.red ? window_.statuses.back() : ""),
            std::make_tuple(server_.script.size(), row.asked, !row.failure.empty(), row.failure));
}

}  // namespace

// The signature lies beside the archive's path, before any query.
TEST(SignatureCheck, SignatureUrlKeepsTheQueryLast) {
  const struct { const char* archive; const char* signature; } cases[] = {
      {"https://h/a.zip", "https://h/a.zip.minisig"}, {"https://h?v=3", "https://h.minisig?v=3"},
      {"https://h/a.zip#x", "https://h/a.zip.minisig#x"}};
  for (const auto& c : cases) EXPECT_EQ(SignatureCheck::signatureUrl(c.archive), c.signature);
}
