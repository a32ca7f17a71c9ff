// The machine's bad days: a full disk, a reader of standard error that
// stopped or went, a stopped run's lock (a run killed while its agent runs:
// lifecycle_test.cc; odd files in the cache: setup_test.cc).

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <gmock/gmock.h>

#include "tests/integration/harness.h"

using namespace ::testing;

const size_t kSize = 1 << 20;

// The program run by a python3 wrapper that gives it |stderrKind| as its
// standard error: "full" (a pipe nobody reads, already full), "gone" (a
// pipe whose reader has closed) or "open" (a pipe nobody reads, with room).
// |signalAfter| > 0 sends SIGTERM then.
static Result runWithStderr(const World& w, const std::string& stderrKind, double signalAfter) {
  writeFile(w.out + "/wrap.py",
            "import fcntl, os, signal, subprocess, sys, time\n"
            "r, w = os.pipe()\n"
            "if sys.argv[1] == 'full':\n"
            "    fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ\n"
            "    os.set_blocking(w, False)\n"
            "    try:\n"
            "        while True: os.write(w, b'x' * 4096)\n"
            "    except BlockingIOError: os.set_blocking(w, True)\n"
            "elif sys.argv[1] == 'gone': os.close(r)\n"
            "p = subprocess.Popen(sys.argv[3:], stderr=w, stdout=subprocess.DEVNULL,\n"
            "                     stdin=subprocess.DEVNULL, restore_signals=True)\n"
            "os.close(w)\n"
            "if float(sys.argv[2]) > 0:\n"
            "    time.sleep(float(sys.argv[2])); p.send_signal(signal.SIGTERM)\n"
            "sys.exit(p.wait(timeout=60))\n");
  return runSetup(w.env, {"python3", w.out + "/wrap.py", stderrKind, std::to_string(signalAfter),
                          w.program}, 70);
}

// A run held up, by a reader of standard error that stopped reading or by
// waiting for the cache's lock, held by a run that was stopped, ends on
// SIGTERM with status 128 + SIGTERM and leaves nothing; a reader that has
// gone does not end the run. By the signal, the server has answered and a
// run that waits for the lock waits to look into the cache.
TEST(BadDays, HeldUpRunEndsOnASignalAndAGoneReaderEndsNone) {
  servers().publish("stderr.zip", "v1", kSize);
  const struct { const char* stderrKind; bool locked; int status; Strings runs; } cases[] = {
      {"full", false, 128 + SIGTERM, {}}, {"open", true, 128 + SIGTERM, {}},
      {"gone", false, 0, {"v1"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stderrKind);
    World w;
    std::unique_ptr<Proc> holder;
    if (c.locked) {
      fs::create_directories(w.cache());
      holder.reset(new Proc({"flock", w.cache() + ".lock", "sleep", "60"}, w.env));
      ASSERT_TRUE(waitUntil([&] { return pathExists(w.cache() + ".lock"); }, 5));
    }
    w.download(c.stderrKind == std::string("full") ? servers().faultUrl + "serve/stderr.zip?pace=20"
                                                   : servers().nginxUrl + "stderr.zip");
    Result r = runWithStderr(w, c.stderrKind, c.status ? 2 : 0);
    EXPECT_EQ(std::make_tuple(r.status, r.seconds < 10, tree(w.tmp), w.runs()),
              std::make_tuple(c.status, true, Strings{}, c.runs));
  }
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
    EXPECT_EQ(std::make_pair(r.status, usedShare < 0.2), std::make_pair(255, true));  // given back
    EXPECT_THAT(r.err, AllOf(HasSubstr(c.said), Not(HasSubstr("Continue?")),
                             Not(HasSubstr("truncated"))));
  }
}
