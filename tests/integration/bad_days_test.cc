// The machine's bad days (a full disk: unpack_test.cc): a reader of standard error that
// stopped or went, a stopped run's lock (a run killed while its agent runs:
// lifecycle_test.cc; odd files in the cache: setup_test.cc).

#include "tests/integration/harness.h"

// A run held up, by a reader of standard error that stopped reading or by
// waiting for the cache's lock, held by a run that was stopped, ends on
// SIGTERM with status 128 + SIGTERM and leaves nothing; a reader that has
// gone, or a standard error (and input and output) closed from the start,
// does not end the run or hold it up. By the signal, the server has
// answered and a run that waits for the lock waits to look into the cache.
TEST(BadDays, HeldUpRunEndsOnASignalAndAGoneReaderEndsNone) {
  servers().publish("stderr.zip", "v1", 1 << 20);
  // The program's standard error, given by a python3 wrapper: "full" (a pipe nobody reads,
  // already full: shrunk with F_SETPIPE_SZ, 1031, to the least a pipe holds, which it writes
  // whole), "gone" (a pipe whose reader has closed), "open" (a pipe nobody reads, with room:
  // the run waits for the lock another holds), "closed" (none: setup 2>&-) or "all closed"
  // (no standard input, output or error either). The held up get SIGTERM after 2 s; a run
  // that should end by itself is given 20 s. (Popen gives the program every signal at its
  // default.)
  const char* wrapper = "import fcntl, os, subprocess, sys, time\nr, w = os.pipe()\n"
      "if sys.argv[1] == 'full': os.write(w, b'x' * fcntl.fcntl(w, 1031, 4096))\n"
      "if sys.argv[1] == 'gone': os.close(r)\n"
      "closed = {'closed': [2], 'all closed': [0, 1, 2]}.get(sys.argv[1], [])\n"
      "p = subprocess.Popen(sys.argv[2:], stderr=None if closed else w,\n"
      "                     preexec_fn=lambda: [os.close(fd) for fd in closed])\n"
      "os.close(w)\nheld = sys.argv[1] in ('full', 'open')\n"
      "if held: time.sleep(2); p.terminate()\nsys.exit(p.wait(timeout=60 if held else 20))\n";
  for (const std::string stderrKind : {"full", "open", "gone", "closed", "all closed"}) {
    SCOPED_TRACE(stderrKind); World w;
    std::unique_ptr<Proc> holder;
    if (stderrKind == "open") {
      fs::create_directories(w.cache());
      holder.reset(new Proc({"flock", w.cache() + ".lock", "sleep", "60"}, w.env));
      ASSERT_TRUE(waitUntil([&] { return pathExists(w.cache() + ".lock"); }, 5));
    }
    w.download(stderrKind == "full" ? servers().faultUrl + "serve/stderr.zip?pace=20"
                                    : servers().nginxUrl + "stderr.zip");
    Result r = Proc({"python3", "-c", wrapper, stderrKind, w.program}, w.env).finish(70);
    const bool ends = stderrKind != "full" && stderrKind != "open";
    EXPECT_EQ(std::make_tuple(r.status, r.seconds < 10, tree(w.tmp), w.runs()),
              std::make_tuple(ends ? 0 : 128 + SIGTERM, true, Strings{}, Strings(ends, "v1")));
  }
}
