// The machine's bad days (a full disk: unpack_test.cc): a reader of standard error that
// stopped or went, a stopped run's lock (a run killed while its agent runs:
// lifecycle_test.cc; odd files in the cache: setup_test.cc).

#include "tests/integration/harness.h"

// A run held up, by a reader of standard error that stopped reading or by
// waiting for the cache's lock, held by a run that was stopped, ends on
// SIGTERM with status 128 + SIGTERM and leaves nothing; a reader that has
// gone does not end the run. By the signal, the server has answered and a
// run that waits for the lock waits to look into the cache.
TEST(BadDays, HeldUpRunEndsOnASignalAndAGoneReaderEndsNone) {
  servers().publish("stderr.zip", "v1", 1 << 20);
  // The program's standard error, given by a python3 wrapper: "full" (a pipe nobody reads,
  // already full: shrunk with F_SETPIPE_SZ, 1031, to the least a pipe holds, which it writes
  // whole), "gone" (a pipe whose reader has closed) or "open" (a pipe nobody reads, with room:
  // the run waits for the lock another holds). The held up get SIGTERM after 2 s. (Popen gives
  // the program every signal at its default.)
  const char* wrapper = "import fcntl, os, subprocess, sys, time\n"
                        "r, w = os.pipe()\n"
                        "if sys.argv[1] == 'full': os.write(w, b'x' * fcntl.fcntl(w, 1031, 4096))\n"
                        "if sys.argv[1] == 'gone': os.close(r)\n"
                        "p = subprocess.Popen(sys.argv[2:], stderr=w)\n"
                        "os.close(w)\n"
                        "if sys.argv[1] != 'gone': time.sleep(2); p.terminate()\n"
                        "sys.exit(p.wait(timeout=60))\n";
  for (const std::string stderrKind : {"full", "open", "gone"}) {
    SCOPED_TRACE(stderrKind);
    World w;
    std::unique_ptr<Proc> holder;
    if (stderrKind == "open") {
      fs::create_directories(w.cache());
      holder.reset(new Proc({"flock", w.cache() + ".lock", "sleep", "60"}, w.env));
      ASSERT_TRUE(waitUntil([&] { return pathExists(w.cache() + ".lock"); }, 5));
    }
    w.download(stderrKind == "full" ? servers().faultUrl + "serve/stderr.zip?pace=20"
                                    : servers().nginxUrl + "stderr.zip");
    Result r = Proc({"python3", "-c", wrapper, stderrKind, w.program}, w.env).finish(70);
    const bool gone = stderrKind == "gone";
    EXPECT_EQ(std::make_tuple(r.status, r.seconds < 10, tree(w.tmp), w.runs()),
              std::make_tuple(gone ? 0 : 128 + SIGTERM, true, Strings{}, Strings(gone, "v1")));
  }
}
