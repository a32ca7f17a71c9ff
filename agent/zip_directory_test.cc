#include "agent/zip_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <stdexcept>
#include <tuple>

#include "tests/test_util.h"
#include "util/quote.h"

namespace {

using namespace std::string_literals;

uint32_t crc32Of(const std::string& bytes) {
  uint32_t crc = ~0u;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int i = 0; i < 8; ++i) crc = crc >> 1 ^ (0xedb88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

struct Parsed { ZipDirectoryLocation where; ZipDirectory directory; std::string error; };

// Reads the tail |tail| of a file of |size| bytes; |error| is empty when read.
Parsed parse(const std::string& tail, int64_t size) {
  Parsed p;
  if (findCentralDirectory(tail, size, &p.where, &p.error))
    readCentralDirectory(tail, p.where, size, &p.directory, &p.error);
  else if (p.error.empty()) p.error = "needs " + std::to_string(p.where.needTail);
  return p;
}

// What every accepted archive satisfies: the spans tile the file from the
// prepended bytes to the directory, each with room for its header and data.
void expectTiled(const Parsed& p, int64_t size) {
  ASSERT_EQ(int64_t(p.directory.entries.size()), p.where.entryCount);
  ASSERT_LE(p.where.directorySize, size - p.where.directoryOffset);
  std::vector<ZipEntry> entries = p.directory.entries;
  std::sort(entries.begin(), entries.end(),
            [](auto& a, auto& b) { return a.localHeaderOffset < b.localHeaderOffset; });
  int64_t at = p.directory.prependedBytes;
  for (const ZipEntry& e : entries) {  // where it starts; room for its header and data
    const int64_t room = e.spanEnd - at - 30 - int64_t(e.name.size());
    ASSERT_TRUE(e.localHeaderOffset == at && room >= e.compressedSize) << e.name << " at " << at;
    at = e.spanEnd;
  }
  ASSERT_EQ(at, p.where.directoryOffset);
}

// The files the archives are made of, by name ("-": zip's standard input).
std::map<std::string, std::string> contents() {
  std::string text, noise;
  while (text.size() < 20000) text += "line " + std::to_string(text.size()) + " of the agent\n";
  for (std::mt19937 random(7); noise.size() < 4000;) noise += char(random());
  return {{"empty", ""}, {"install", "#!/bin/sh\necho hi\n"}, {"lib/", ""}, {"lib/text.txt", text},
          {"lib/noise.bin", noise}, {"-", "from stdin\n"}};
}

struct Archive {
  const char* label;
  std::string command;  // makes $Z of the files $F in the current directory
  const char* error;    // what it is refused with; the rest is then left out
  bool zip64 = false;
  uint16_t fileFlags = 0, textMethod = 0;  // set on every file; lib/text.txt's method
  int64_t prepended = 0, shift = 0;        // a stub's length; how far the offsets are off
  std::string comment = "", bytes = "";
};

const std::vector<Archive>& archives() {
  static const std::vector<Archive> made = [] {
    const std::string stub = "printf '#!/bin/sh\\nexit\\n'", c63(63, 'c');
    std::string comment;  // zip ends each line with CR LF
    for (int line = 0; line < 1000; ++line) comment += c63 + "\r\n";
    std::vector<Archive> rows = {
        {"deflated", "zip -q -r $Z $F", "", false, 0, 8},
        {"stored", "zip -q -0 -r $Z $F", "", false, 0, 0},
        // The signature at its end has no room for a record after it.
        {"comment", "{ yes " + c63 + " | head -n 1000; printf 'PK\\5\\6 end\\n'; }"
         " | zip -q -z -r $Z $F", "", false, 0, 8, 0, 0, comment + "PK\5\6 end"},
        // Zip64 throughout, one entry streamed from standard input.
        {"zip64 stdin", "zip -q -fz -r $Z $F && zip -q -fz $Z - < -", "", true, 0, 8},
        // Streamed (data descriptors) with a stub in front, offsets left as they were.
        {"stub", "{ " + stub + "; zip -q -r - $F | cat; } > $Z", "", false, 8, 8, 15, 15},
        {"stub adjusted", "zip -q -r $Z.0 $F && { " + stub + "; cat $Z.0; } > $Z && zip -q -A $Z",
         "", false, 0, 8, 15, 0}, {"encrypted", "zip -q -P secret -r $Z $F", "", false, 1, 8},
        {"empty", "zip -q $Z empty && zip -q -d $Z empty", "", false, 0, 0},
        // Without the zip64 end records, which zip leaves out on a pipe;
        // unzip refuses it too.
        {"zip64 to a pipe", "zip -q -fz -r - $F | cat > $Z",
         "central directory offset past the directory"},
        // unzip too takes this signature for the end record.
        {"signature in comment", "printf 'PK\\005\\006%030d' 0 | zip -q -z -r $Z $F",
         "archive comment does not end with the file"},
        // Both sizes and the offset of every entry in its zip64 field.
        {"zip64 fields", "python3 -c 'import sys, zipfile; zipfile.ZIP64_LIMIT = 1\n"
         "with zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_DEFLATED) as z:\n"
         " [z.write(f) for f in sys.argv[2:]]' $Z install lib lib/text.txt lib/noise.bin",
         "", true, 0, 8}};
    ScratchDir scratch;
    for (const auto& [name, data] : contents())
      name.back() == '/' ? void(shell("mkdir " + scratch / name)) : writeFile(scratch / name, data);
    for (Archive& row : rows) {
      std::string zip = scratch / "out.zip";
      if (shell("cd " + scratch.path() + " && Z=" + zip + " F='empty install lib' && rm -f $Z && ("
                + row.command + ")")) throw std::runtime_error("zip failed for "s + row.label);
      row.bytes = readFile(zip);
    }
    return rows;
  }();
  return made;
}

TEST(ZipDirectory, ReadsArchivesMadeByZipFromTheSuffixItAsksFor) {
  for (const Archive& archive : archives()) {
    SCOPED_TRACE(archive.label);
    const std::string& file = archive.bytes; int64_t size = file.size();
    Parsed p = parse(file, size);
    EXPECT_EQ(p.error, archive.error);
    if (!p.error.empty()) continue;
    expectTiled(p, size);
    EXPECT_EQ(std::make_tuple(p.where.zip64, p.where.offsetShift, p.directory.prependedBytes),
              std::make_tuple(archive.zip64, archive.shift, archive.prepended));
    EXPECT_TRUE(p.where.comment == archive.comment) << p.where.comment.size();
    // Each entry's size and CRC; the name behind its local header (the
    // offset is the file's); the text's method; the files' flags.
    for (const ZipEntry& e : p.directory.entries) {
      const std::string bytes = contents().at(e.name);
      const bool plain = e.isDirectory() || e.name == "-";
      const uint16_t flags = plain ? 0 : archive.fileFlags;
      EXPECT_EQ(std::make_tuple(e.uncompressedSize, e.crc32,
                                file.substr(e.localHeaderOffset + 30, e.name.size()),
                                e.name != "lib/text.txt" || e.method == archive.textMethod,
                                e.flags & flags, plain || e.encrypted == (flags == 1)),
                std::make_tuple(int64_t(bytes.size()), crc32Of(bytes), e.name, true, flags, true))
          << e.name;
    }
    // From nothing: the end records (zip64 ones in a second step), then
    // exactly the directory, and no less.
    const int64_t need = p.where.needTail, ends = 42 + p.where.comment.size();
    auto tail = [&](int64_t length) { return file.substr(size - std::min(length, size)); };
    auto asked = [&](int64_t length) { return parse(tail(length), size).error; };
    auto needs = [](int64_t length) { return "needs " + std::to_string(length); };
    EXPECT_EQ(std::make_tuple(asked(0), asked(need - 1), asked(ends), asked(need)),
              std::make_tuple(needs(std::min<int64_t>(size, 65633)), needs(need),
                              ends < size ? needs(archive.zip64 ? ends + 56 : need) : "", ""s));
    bool read = readCentralDirectory(tail(need - 1), p.where, size, &p.directory, &p.error);
    EXPECT_EQ(p.error + (read ? " read" : ""), "the tail does not hold the central directory");
  }
}

TEST(ZipDirectory, RefusesBrokenArchives) {
  // Patches to the zip64 archive or else the deflated one, at offsets from
  // the central header named |name|, else from the end record; an empty
  // error: accepted.
  struct Patch { int64_t at; uint64_t value; int width; };
  struct Case { bool zip64; std::string name; std::vector<Patch> edits; const char* error; };
  std::vector<Case> cases = {
      {false, "", {{0, 0, 1}}, "no end of central directory record"},
      {false, "", {{4, 1, 2}}, "multi-disk archives are not supported"},
      {false, "", {{8, 0x7fff7fff, 4}}, "entry count too large for the central directory"},
      {false, "", {{8, 0x00040004, 4}}, "central directory longer than its entries"},
      {false, "", {{12, 1 << 20, 4}}, "central directory larger than the file before it"},
      {false, "empty", {{28, 4096, 2}}, "entry 0: name longer than 4095 bytes"},
      {false, "empty", {{28, 0, 2}}, "entry 0: empty name"},
      {false, "empty", {{24, 1, 4}}, "entry 0: stored with differing sizes"},
      {false, "empty", {{34, 2, 2}}, "entry 0: on another disk"},
      {false, "install", {{42, 0, 4}}, "share a local header"},
      {false, "lib/text.txt", {{20, 1000000, 4}}, "data runs past its span"},
      {false, "lib/text.txt", {{24, 1 << 30, 4}}, "beyond what deflate can expand to"},
      {false, "lib/text.txt", {{42, 1 << 30, 4}}, "local header outside the entries"},
      // More than 65535 entries: the end record leaves the counts to zip64.
      {true, "", {{8, ~0u, 4}}, ""},
      {true, "", {{8, 3, 2}}, "end of central directory records disagree"},
      {true, "", {{8, ~0u, 4}, {-52, 2000000, 8}, {-44, 2000000, 8}}, "more than 1000000"},
      {true, "", {{-72, 43, 8}}, "no zip64 end of central directory record"},
      {true, "lib/text.txt", {{20, ~0u, 4}}, "zip64 extra field missing or short"}};
  // A local header said to start where the directory does.
  const std::string& deflated = archives()[0].bytes;
  cases.push_back({false, "lib/text.txt", {{42, littleEndian(deflated, deflated.size() - 6, 4), 4}},
                   "local header outside the entries"});
  for (const auto& test : cases) {
    std::string file = archives()[test.zip64 ? 3 : 0].bytes;
    // Names are followed by zip's "UT" extra field; the central one comes last.
    int64_t base = test.name.empty() ? file.size() - 22 : file.rfind(test.name + "UT") - 46;
    for (const Patch& p : test.edits)
      for (int i = 0; i < p.width; ++i) file[base + p.at + i] = char(p.value >> 8 * i);
    std::string error = parse(file, file.size()).error;
    if (*test.error && error.find(test.error) != std::string::npos) error = test.error;
    EXPECT_EQ(error, test.error);
  }
}

TEST(ZipDirectory, FuzzedArchivesAreReadWithinBoundsOrRefused) {
  std::mt19937_64 random(20240607);
  auto below = [&](uint64_t n) { return n ? random() % n : 0; };
  const uint64_t fields[] = {0, 1, 0xffff, 0xffffffff, 0x7fffffff, ~0ull, 1ull << 62};
  int accepted = 0;
  for (int round = 0; round < 30000; ++round) {
    std::string file = archives()[round % archives().size()].bytes;
    // Most changes land in the directory and end records, where the parsing is.
    auto nearEnd = [&] { return file.size() - 1 - std::min(below(file.size()), below(600)); };
    int kind = below(5);
    for (int n = kind == 0 ? 1 + below(8) : 0; n > 0; --n) file[nearEnd()] ^= 1 << below(8);
    uint64_t value = fields[below(7)];
    for (size_t at = nearEnd(), i = 0, width = 1 << below(4); kind == 1 && i < width; ++i)
      if (at + i < file.size()) file[at + i] = char(value >> 8 * i);
    size_t cut = below(file.size());
    if (kind == 2) file = below(2) ? file.substr(cut) : file.substr(0, cut);
    if (kind == 3) {  // another archive's bytes spliced in
      const std::string& other = archives()[below(archives().size())].bytes;
      size_t from = below(other.size());
      file.replace(cut, below(200), other.substr(from, below(other.size() - from)));
    }
    int64_t size = file.size();
    std::string tail = file.substr(below(2) ? 0 : below(size + 1)); Parsed p;
    if (!findCentralDirectory(tail, size, &p.where, &p.error)) {
      if (!p.error.empty()) continue;
      ASSERT_LE(p.where.needTail, size);
      ASSERT_GT(p.where.needTail, int64_t(tail.size()));
      tail = file.substr(size - p.where.needTail);
      if (!findCentralDirectory(tail, size, &p.where, &p.error)) continue;
    }
    if (below(20) == 0) p.where.offsetShift = fields[below(7)] >> 1;
    if (!readCentralDirectory(tail, p.where, size, &p.directory, &p.error)) continue;
    ++accepted, expectTiled(p, size);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(accepted, 3000);
}

TEST(ZipDirectory, UnzipSelectsEachNameByItsPattern) {
  ScratchDir scratch; std::string list, zip = scratch / "names.zip", out = scratch / "out";
  for (const char* name : {"a*b", "a?b", "axb", "[x]", "x", "a\\b", "ab", "a b", "a[b", "a]b", "?",
                           "a\\*b", "-x", "-d", "*", "\xc3\xb1\xc3\xa9", "a\\[x]\\y", "[!x]"}) {
    writeFile(scratch / name, "<"s + name + ">"), list += " " + smart_quote(name);
  }
  ASSERT_EQ(shell("cd " + scratch.path() + " && zip -q " + zip + " --" + list), 0);
  Parsed p = parse(readFile(zip), readFile(zip).size());
  ASSERT_EQ(p.directory.entries.size(), 18u) << p.error;
  for (const ZipEntry& entry : p.directory.entries) {
    shell("(unzip -p " + zip + " " + smart_quote(unzipPattern(entry.name)) + " > " + out + ")");
    EXPECT_EQ(readFile(out) + (unzipMatchesLiterally(entry) ? "" : " not literal"),
              "<" + entry.name + ">");
  }
  // Names unzip rewrites before matching: a Unicode path field, OEM names
  // (from MS-DOS and NT), a NUL.
  std::string literal;
  for (auto [name, madeBy, extra] : std::vector<std::tuple<std::string, int, std::string>>{
           {"caf\xc3\xa9", 3, ""}, {"caf\xc3\xa9", 0, ""}, {"caf\xc3\xa9", 11, ""}, {"cafe", 0, ""},
           {"cafe", 3, "up\5\0\1abcd"s}, {"a\0b"s, 3, ""}}) {
    ZipEntry entry;
    entry.name = name, entry.versionMadeBy = madeBy << 8, entry.extra = extra;
    literal += unzipMatchesLiterally(entry) ? 'y' : 'n';
  }
  EXPECT_EQ(literal, "ynnynn");
}

// The unpacked total saturates rather than wrap past INT64_MAX.
TEST(ZipDirectory, TotalUnpackedSizeSaturates) {
  std::vector<ZipEntry> entries(3);
  entries[0].uncompressedSize = 3, entries[2].uncompressedSize = 4;
  EXPECT_EQ(totalUnpackedSize(entries), 7);
  entries[1].uncompressedSize = INT64_MAX;
  EXPECT_EQ(totalUnpackedSize(entries), INT64_MAX);
}

}  // namespace
