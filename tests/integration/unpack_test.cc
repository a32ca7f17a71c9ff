// Several unzips at once: the agent as one plain unzip makes it, whatever its
// names; an untrusted directory left to one unzip; the room checked before
// the body. (A cancel ends every unzip: lifecycle_test.cc.)

#include <sys/mount.h>

#include "tests/integration/harness.h"
#include "util/quote.h"

namespace {

using Files = std::map<std::string, std::string>;

std::string noise(size_t bytes) {  // incompressible: slow to unpack
  std::string s;
  return std::generate_n(std::back_inserter(s), bytes, std::mt19937(bytes)), s;
}

// zip -r on a tree, so that names zip would take for options go in as they
// stand and directories get entries; LC_ALL=C: no Unicode extra fields, so
// that non-ASCII names can be passed to unzip as patterns.
void zipTree(const std::string& zip, const Files& files) {
  ScratchDir dir;
  for (const auto& [name, content] : files) {
    fs::create_directories(fs::path(dir / name).parent_path());
    writeFile(dir / name, content);
  }
  fs::remove(zip);
  if (shell("cd " + smart_quote(dir.path()) + " && LC_ALL=C zip -qrX " + smart_quote(zip) + " ."))
    throw std::runtime_error("zip failed for " + zip);
}

}  // namespace

// Names unzip would read as wildcards or options, spaces, UTF-8, deep
// directories, and enough files for several batches each way: under the
// download, (from a server without ranges) after it, and from the archive
// beside the program. Then the same
// archive with a name that climbs out, which cannot be shared out: one
// unzip decides (and strips the climb). Which directories the reader
// refuses and which names cannot be shared out are
// agent/zip_directory_test.cc's and unpack_plan_test.cc's; that the
// download asks for the end, then the bytes before it, download_test.cc's;
// that an archive one unzip refuses fails the run, stamping and leaving
// nothing, the notzip row of DownloadRoad.BrokenDownloadsFailAndLeaveNothing
// in setup_test.cc.
TEST(Unpack, TheAgentIsAsOnePlainUnzipMakesIt) {
  Files files = {{"st*r", "1"}, {"q?", "2"}, {"[br]ackets", "3"}, {"a]b[", "4"}, {"*", "8"},
                 {"two  words ", "5"}, {"-lead", "6"}, {"-dir/-n", "7"}, {"QZ/evil", "x"},
                 {"\xc3\xa9t\xc3\xa9/\xe2\x9c\x93 \xe4\xb8\xad", "9"}, {"n1/n2/n3/n4/deep", "10"}};
  for (int i = 0; i < 48; ++i) files["many/f" + std::to_string(i)] = noise(40000 + i);
  // Each row: the fault server's options (none: nginx; "local": the
  // archive beside the program), and whether QZ/evil is renamed ../evil.
  const struct { std::string name, options; bool climbs; } cases[] = {
      {"odd", "", false}, {"odd-noranges", "range=ignore", false}, {"odd-local", "local", false},
      {"dotdot", "", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string zip = servers().www + "/" + c.name + ".zip";
    // The agent keeps a copy of what it was unpacked as: the local road's goes.
    files["install"] = agentScript(c.name) + "cp -R \"${0%/*}\" \"$AGENT_OUT/agent\"\n";
    zipTree(zip, files);
    std::string bytes = readFile(zip);  // the name in the local and the central header
    for (size_t at; c.climbs && (at = bytes.find("QZ/evil")) != bytes.npos;)
      bytes.replace(at, 2, "..");
    writeFile(zip, bytes);
    World w;
    const bool local = c.options == "local";
    if (local) fs::copy_file(zip, w.res + "/InstallAgent.zip");
    w.download(c.options.empty() ? servers().nginxUrl + c.name + ".zip"
                                 : servers().faultUrl + "serve/" + c.name + ".zip?" + c.options);
    Result r = w.run();
    ScratchDir plain;
    // The local road's copy holds the run's directory's owner file too.
    std::string into = smart_quote(plain.path()), agent = smart_quote(w.out + "/agent");
    std::string same = "diff -r -x .owner " + into + " " + agent;
    bool ok = !shell("unzip -qq -o " + smart_quote(zip) + " -d " + into);
    bool readAhead = !has(r.err, "cannot be read ahead") && !has(r.err, "unpacked after the");
    // As one plain unzip makes it: the same agent, stamped (from a
    // download) and run; nothing left in TMPDIR.
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), ok, shell(same),
                              readAhead, pathExists(w.cache() + ".validatestring"), tree(w.tmp)),
              std::make_tuple(0, Strings{c.name}, true, 0, !c.climbs, !local, Strings{})) << r.err;
  }
}

// A small file system as HOME: an agent that cannot fit fails, keeping
// nothing, giving its bytes back and saying so in one line, without unzip's
// questions. Rows: HOME's size, the download, what is said. With ranges the
// room is checked from the archive's end, before the body (that it is asked
// for no body then is DiskSpaceIsCheckedBeforeTheBody in
// download/download_test.cc); without, the whole archive's announced
// length is checked before its body, and an agent that does not unpack
// fails on its own.
TEST(Unpack, NoRoomFailsKeepingNothing) {
  zipTree(servers().www + "/space.zip", {{"install", agentScript("space")},
                                         {"noise", noise(1 << 20)}, {"zeros", std::string(8 << 20, 0)}});
  const std::string plain = servers().faultUrl + "serve/fulldisk.zip?range=ignore";
  servers().publish("fulldisk.zip", "v1", 1 << 20);
  const struct { std::string size, url, said; } cases[] = {
      {"2m", servers().nginxUrl + "space.zip", "Not enough disk space: "},
      {"512k", plain, "Not enough disk space: "},
      {"1600k", plain, "No space left on device to unpack"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    World w;
    if (mount("tmpfs", w.home.c_str(), "tmpfs", 0, ("size=" + c.size).c_str()) != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << strerror(errno);
    w.download(c.url);
    Result r = w.run();
    const fs::space_info room = fs::space(w.home);
    Strings left = tree(w.cache());
    umount2(w.home.c_str(), MNT_DETACH);
    const bool where = c.size == "1600k" || has(r.err, " needed in " + w.home + ", ");
    EXPECT_EQ(std::make_tuple(r.status, room.available > 0.8 * room.capacity, has(r.err, c.said),
                              where, has(r.err, "Continue?"), has(r.err, "truncated"), w.runs()),
              std::make_tuple(255, true, true, true, false, false, Strings{})) << r.err;
    EXPECT_EQ(left, Strings{"installagent"});
  }
}
