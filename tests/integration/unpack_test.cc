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

// An archive of raw entries, as no zip tool makes them: each a kind ('f'
// file, 'd' directory, 'l' link), a mode, a time (DOS, local) and its name
// and content (a link's target) as stored.
struct Raw { char kind; int mode; const char* time; std::string name, data; };
void zipRaw(const std::string& zip, const std::vector<Raw>& entries) {
  ScratchDir dir;
  std::string listing;
  auto hex = [](const std::string& s) {
    std::string h;
    for (unsigned char c : s) h += "0123456789abcdef"[c >> 4], h += "0123456789abcdef"[c & 15];
    return h;
  };
  for (const Raw& e : entries)
    listing += std::string(1, e.kind) + " " + std::to_string(e.mode) + " " + e.time + " " +
            hex(e.name) + " " + hex(e.data) + "\n";
  writeFile(dir / "entries", listing);
  writeFile(dir / "make.py", R"(import stat, sys, zipfile
kinds = {'f': stat.S_IFREG, 'd': stat.S_IFDIR, 'l': stat.S_IFLNK}
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    for line in open(sys.argv[2]):
        kind, mode, time, name, data = (line.split() + [''])[:5]
        info = zipfile.ZipInfo(bytes.fromhex(name).decode('latin-1'), tuple(map(int, time.split('-'))))
        info.create_system, info.external_attr = 3, (kinds[kind] | int(mode)) << 16 | (0x10 if kind == 'd' else 0)
        z.writestr(info, bytes.fromhex(data))
)");
  if (shell("python3 " + smart_quote(dir / "make.py") + " " + smart_quote(zip) + " " + smart_quote(dir / "entries")))
    throw std::runtime_error("cannot make " + zip);
}

// Every entry below |dir|: its kind, mode, content (a link's target) and,
// when it was set from an archive (before 2020) rather than at unpacking,
// its time.
Strings snapshot(const std::string& dir) {
  Strings found;
  for (const std::string& path : tree(dir)) {
    struct stat st;
    std::string full = dir + "/" + path, what;
    lstat(full.c_str(), &st);
    if (S_ISLNK(st.st_mode)) what = "link " + fs::read_symlink(full).string();
    else if (S_ISREG(st.st_mode)) what = "file " + std::to_string(std::hash<std::string>()(readFile(full)));
    else what = "dir";
    char mode[16];
    snprintf(mode, sizeof(mode), " %04o ", st.st_mode & 07777);
    found.push_back(path + ": " + what + mode + (st.st_mtime < 1577836800 ? std::to_string(st.st_mtime) : "new"));
  }
  return found;
}

// The agent's copy of itself (made with cp -a): what it was unpacked as,
// and nothing of the run's.
Strings agentAsUnpacked(const World& w) { return snapshot(w.out + "/agent"); }

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
    files["install"] = agentScript(c.name) + "cp -a \"${0%/*}\" \"$AGENT_OUT/agent\"\n";
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
    bool ok = !shell("unzip -qq -o " + smart_quote(zip) + " -d " + smart_quote(plain.path()));
    bool readAhead = !has(r.err, "cannot be read ahead") && !has(r.err, "unpacked after the");
    // As one plain unzip makes it: the same agent, stamped (from a
    // download) and run; nothing left in TMPDIR.
    EXPECT_EQ(std::make_tuple(r.status, w.runs(), ok, agentAsUnpacked(w), readAhead,
                              pathExists(w.cache() + ".validatestring"), tree(w.tmp)),
              std::make_tuple(0, Strings{c.name}, true, snapshot(plain.path()), !c.climbs, !local,
                              Strings{})) << r.err;
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

// Archives no zip tool makes, unpacked from a download (by batches under
// it) and from beside the program, and by one plain unzip -o: the same
// files, directories, links, modes and times, or the same refusal, and
// nothing written outside. Entries are spread out by filler, so that the
// first and the last fall in batches of their own.
TEST(Unpack, HostileArchivesEndAsOnePlainUnzipLeavesThem) {
  ScratchDir outside;
  const char* old = "2001-02-03-04-05-06";
  std::vector<Raw> fill;
  for (int i = 0; i < 8; ++i) fill.push_back({'f', 0644, old, "fill/" + std::to_string(i), noise(64000 + i)});
  const struct { std::string name; std::vector<Raw> first, last; } cases[] = {
      // unzip drops control bytes: the file lands in the link.
      {"through-link", {{'l', 0777, old, "lnk", outside.path()}}, {{'f', 0644, old, "lnk\x01/f", "x"}}},
      // ...and a version number: both land on one path, the later wins.
      {"versions", {{'f', 0644, old, "same", "first"}}, {{'f', 0600, old, "same;1", "second"}}},
      {"controls", {{'f', 0644, old, "dup\x01", "first"}}, {{'f', 0644, old, "dup\x7f", "second"}}},
      // Directories get their entries' modes and times, unless unzip made
      // them earlier for an entry inside ("late/").
      {"dir-modes", {{'d', 0700, old, "private/", ""}, {'d', 0775, "1999-12-31-23-59-58", "shared/", ""},
                     {'f', 0644, old, "late/f", "f"}, {'d', 0700, old, "late/", ""}},
       {{'d', 0750, "2005-06-07-08-09-10", "private/deep/", ""}, {'f', 0640, old, "private/deep/x", "x"}}},
  };
  for (const auto& c : cases) {
    std::vector<Raw> entries = {{'f', 0755, old, "install",
                                 agentScript(c.name) + "cp -a \"${0%/*}\" \"$AGENT_OUT/agent\"\n"}};
    entries.insert(entries.end(), c.first.begin(), c.first.end());
    entries.insert(entries.end(), fill.begin(), fill.end());
    entries.insert(entries.end(), c.last.begin(), c.last.end());
    const std::string zip = servers().www + "/" + c.name + ".zip";
    zipRaw(zip, entries);
    ScratchDir plain;
    const bool unzips = !shell("unzip -qq -o " + smart_quote(zip) + " -d " + smart_quote(plain.path()));
    EXPECT_EQ(tree(outside.path()), Strings{}) << c.name << ": one plain unzip wrote outside";
    for (const bool local : {false, true}) {
      SCOPED_TRACE(c.name + (local ? " (local)" : " (download)"));
      World w;
      if (local) fs::copy_file(zip, w.res + "/InstallAgent.zip");
      w.download(servers().nginxUrl + c.name + ".zip");
      Result r = w.run();
      EXPECT_EQ(std::make_tuple(r.status, unzips ? agentAsUnpacked(w) : Strings{}, tree(outside.path()),
                                tree(w.tmp)),
                std::make_tuple(unzips ? 0 : 255, unzips ? snapshot(plain.path()) : Strings{}, Strings{},
                                Strings{})) << r.err;
    }
  }
}
