// The machine's bad days: a full disk, a reader of standard error that
// stopped or went, a stopped run's lock, a run killed while its agent runs
// (odd files in the cache: lifecycle_test.cc).

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <gmock/gmock.h>

#include "tests/integration/harness.h"

using namespace ::testing;

namespace {

const size_t kSize = 1 << 20;

// The program run by a python3 wrapper that gives it |stderrKind| as its
// standard error: "full" (a pipe nobody reads, already full) or "gone" (a
// pipe whose reader has closed). |signalAfter| > 0 sends SIGTERM then.
Result runWithStderr(const World& w, const std::string& stderrKind, double signalAfter) {
  writeFile(w.out + "/wrap.py",
            "import fcntl, os, signal, subprocess, sys, time\n"
            "r, w = os.pipe()\n"
            "if sys.argv[1] == 'full':\n"
            "    fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ\n"
            "    os.set_blocking(w, False)\n"
            "    try:\n"
            "        while True: os.write(w, b'x' * 4096)\n"
            "    except BlockingIOError: os.set_blocking(w, True)\n"
            "else: os.close(r)\n"
            "p = subprocess.Popen(sys.argv[3:], stderr=w, stdout=subprocess.DEVNULL,\n"
            "                     stdin=subprocess.DEVNULL, restore_signals=True)\n"
            "os.close(w)\n"
            "if float(sys.argv[2]) > 0:\n"
            "    time.sleep(float(sys.argv[2])); p.send_signal(signal.SIGTERM)\n"
            "sys.exit(p.wait(timeout=60))\n");
  return runSetup(w.env, {"python3", w.out + "/wrap.py", stderrKind, std::to_string(signalAfter),
                          w.program}, 70);
}

}  // namespace

// A reader of standard error that stopped reading holds a run up only until
// a signal ends it; a reader that has gone does not end the run.
TEST(BadDays, StandardErrorFullOrGone) {
  servers().publish("stderr.zip", "v1", kSize);
  World w;
  w.download(servers().faultUrl + "serve/stderr.zip?pace=20");
  Result full = runWithStderr(w, "full", 1.5);
  EXPECT_EQ(full.status, 128 + SIGTERM);
  EXPECT_LT(full.seconds, 10);
  EXPECT_EQ(tree(w.tmp), Strings{});
  World gone;
  gone.download(servers().nginxUrl + "stderr.zip");
  Result r = runWithStderr(gone, "gone", 0);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(gone.runs(), Strings{"v1"});
}

// A run waiting for the cache's lock, held by a run that was stopped, ends
// on SIGTERM with status 128 + SIGTERM and leaves nothing.
TEST(BadDays, WaitForAStoppedRunsLockEndsOnASignal) {
  servers().publish("locked.zip", "v1", kSize);
  World w;
  w.download(servers().nginxUrl + "locked.zip");
  fs::create_directories(w.cache());
  Proc holder({"flock", w.cache() + ".lock", "sleep", "60"}, w.env);
  ASSERT_TRUE(waitUntil([&] { return pathExists(w.cache() + ".lock"); }, 5));
  Proc run(w.argv({}), w.env);
  // The server has answered and the run waits to look into the cache.
  usleep(2000000);
  ASSERT_FALSE(run.ended()) << run.err();
  kill(run.pid, SIGTERM);
  Result r = run.finish(10);
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  EXPECT_LT(r.seconds, 5);
  EXPECT_EQ(tree(w.tmp), Strings{});
  EXPECT_EQ(w.runs(), Strings{});
}

// setup killed outright while its agent runs: a later run with a new agent
// leaves the running agent's directory whole.
TEST(BadDays, AgentKeepsItsDirectoryWhenSetupIsKilled) {
  std::string zip = servers().publish("orphan.zip", "v1", 0, 2);
  World w;
  w.download(servers().nginxUrl + "orphan.zip");
  Proc first(w.argv({}), w.env);
  ASSERT_TRUE(waitUntil([&] { return !w.runs().empty(); }, 20));
  kill(first.pid, SIGKILL);  // setup alone: its agent goes on
  ASSERT_TRUE(waitUntil([&] { return first.ended(); }, 5));
  auto time = fs::last_write_time(zip);
  servers().publish("orphan.zip", "v2", 0, 2);
  fs::last_write_time(zip, time + std::chrono::hours(1));  // a new ETag
  Result second = w.run();
  EXPECT_EQ(second.status, 0) << second.err;
  usleep(2500000);  // the first agent checks its files
  EXPECT_EQ(w.runs(), (Strings{"v1", "v2"}));
  EXPECT_FALSE(pathExists(w.out + "/CANARY"));
}

// A small file system as HOME, and a server without ranges (so that the
// room is not checked from the archive's end first: unpack_test.cc): a
// download that does not fit gives its bytes back and says so; an agent
// that does not unpack says so in one line, without unzip's questions.
TEST(BadDays, FullDisk) {
  servers().publish("fulldisk.zip", "v1", kSize);
  const struct { const char* size; const char* said; } cases[] = {
      {"512k", "No space left on device"}, {"1600k", "No space left on device to unpack"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    World w;
    if (mount("tmpfs", w.home.c_str(), "tmpfs", 0, (std::string("size=") + c.size).c_str()) != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << strerror(errno);
    w.download(servers().faultUrl + "serve/fulldisk.zip?range=ignore");
    Result r = w.run();
    struct statvfs fs;
    statvfs(w.home.c_str(), &fs);
    double usedShare = 1.0 - double(fs.f_bavail) / double(fs.f_blocks);
    umount2(w.home.c_str(), MNT_DETACH);
    EXPECT_EQ(r.status, 255);
    EXPECT_THAT(r.err, AllOf(HasSubstr(c.said), Not(HasSubstr("Continue?")),
                             Not(HasSubstr("truncated"))));
    EXPECT_LT(usedShare, 0.2) << "the disk was not given back";
  }
}
