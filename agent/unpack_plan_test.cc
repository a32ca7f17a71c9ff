#include "agent/unpack_plan.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/test_util.h"

namespace {

ZipEntry entry(const std::string& name, int64_t offset, int64_t size = 10) {
  ZipEntry e;
  e.name = name, e.versionMadeBy = 3 << 8, e.localHeaderOffset = offset;
  e.spanEnd = offset + 40 + size, e.compressedSize = e.uncompressedSize = size;
  return e;
}

// Entries that cannot be shared out among unzips, and a file that is no
// archive or none at all: one unzip decides, told why. An absolute name
// stands for every empty component (one check covers both).
TEST(UnpackPlan, RefusesWhatOnlyOneUnzipCanDecide) {
  ZipEntry link = entry("lib", 100), locked = entry("secret", 100), oem = entry("caf\xe9", 100);
  link.externalAttributes = (S_IFLNK | 0777u) << 16, locked.encrypted = true, oem.versionMadeBy = 0;
  const struct { ZipDirectory directory; const char* why; } cases[] = {
      {{{entry("a", 0)}, 5}, "data in front"}, {{{locked}}, "encrypted"},
      {{{oem}}, "cannot be passed"}, {{{entry("/etc/passwd", 0)}}, "cannot be passed"},
      {{{entry("a/../../x", 0)}}, "cannot be passed"}, {{{entry("a\\b", 0)}}, "cannot be passed"},
      {{{entry("a", 0), entry("a", 100)}}, "twice"}, {{{entry("d/", 0), entry("d", 100)}}, "twice"},
      {{{entry("lib/x.so", 0), link}}, "directory must be"},
      // Names unzip writes otherwise: here a path through the link, or two
      // names on one path.
      {{{link, entry("lib\x01/x.so", 100)}}, "cannot be passed"},
      {{{entry("same", 0), entry("same;1", 100)}}, "cannot be passed"},
      {{{entry("dup\x7f", 0)}}, "cannot be passed"}, {{{entry("d\xff/x", 0)}}, "cannot be passed"},
  };
  for (const auto& [directory, reason] : cases) {
    UnpackPlan plan;
    std::string why;
    EXPECT_FALSE(planUnpack(directory, 2, 1000, &plan, &why, 0)) << reason;
    EXPECT_NE(why.find(reason), std::string::npos) << why;
  }
  // Names that do pass: what unzip keeps.
  for (std::string name : {"a;b", "v;1/x", "caf\xc3\xa9;2x", "tab;", "\x80\xfe"})
    EXPECT_EQ(unzipWritesAsStored(name), name != "tab;") << name;
  // unzip would compare every entry with every name listed: 2,449 entries
  // (2,449^2 < 6e6) are listed, 2,450 are not.
  for (int count : {2449, 2450}) {
    ZipDirectory many;
    for (int i = 0; i < count; ++i) many.entries.push_back(entry("f" + std::to_string(i), i * 100));
    UnpackPlan plan;
    std::string why;
    EXPECT_EQ(planUnpack(many, 2, kMaxMembersBytes, &plan, &why, 0), count == 2449) << why;
  }
  ScratchDir scratch;
  writeFile(scratch / "junk.zip", std::string(100000, 'j'));
  for (std::string name : {"junk.zip", "missing.zip"}) {
    ZipDirectory directory;
    std::string error;
    EXPECT_FALSE(readArchiveDirectory(scratch / name, &directory, &error));
    EXPECT_EQ(error, name == "junk.zip" ? "no end of central directory record"
                                        : "The archive cannot be read.");
  }
}

// Batches run in file order, each ending where its last entry ends, of
// similar unpacked sizes, and within the word budget; directories come
// parents first. (That their unzips, run at once, unpack what one unzip
// does, whatever the names hold, Unpack.TheAgentIsAsOnePlainUnzipMakesIt shows.)
TEST(UnpackPlan, SharesContiguousEntriesOutBySizeAndWords) {
  using Batches = std::vector<std::pair<std::vector<std::string>, int64_t>>;
  ZipDirectory directory;
  Batches expected(3), batches;
  int64_t offset = 0;
  // A share is 2300 / 4: a batch closes once it holds that much (f3 is 800).
  for (int i = 0; i < 16; ++i) {
    directory.entries.push_back(entry("d/e/f" + std::to_string(i), offset, i == 3 ? 800 : 100));
    offset = directory.entries.back().spanEnd;
    auto& [members, end] = expected[i < 4 ? 0 : i < 10 ? 1 : 2];
    members.push_back(directory.entries.back().name), end = offset;
  }
  // Directory entries: "d/" comes after an entry inside it, so unzip has
  // made it by then and gives it no attributes of its own; "g/" and "g/h/"
  // are made at their entries.
  for (const char* name : {"g/", "d/", "g/h/"}) directory.entries.push_back(entry(name, offset, 0));
  std::swap(directory.entries[0], directory.entries[5]);  // directory order is not file order
  UnpackPlan plan;
  std::string why;
  ASSERT_TRUE(planUnpack(directory, 1, 1000, &plan, &why, 0)) << why;
  for (const UnpackBatch& batch : plan.batches) batches.emplace_back(batch.members, batch.end);
  using Names = std::vector<std::string>;
  EXPECT_EQ(std::tie(plan.directories, plan.unpackedBytes, batches, plan.attributedMembers,
                     plan.attributedDirectories),
            std::make_tuple(Names{"d", "d/e", "g", "g/h"}, int64_t(2300), expected,
                            Names{"g/", "g/h/"}, Names{"g/h", "g"}));
  ASSERT_TRUE(planUnpack(directory, 1, 20, &plan, &why, 0));
  for (const UnpackBatch& batch : plan.batches) EXPECT_LE(batch.members.size(), 3u);
  // Files of 143 bytes on average are unpacked by one unzip.
  EXPECT_FALSE(planUnpack(directory, 1, 1000, &plan, &why, 144));
  EXPECT_TRUE(planUnpack(directory, 1, 1000, &plan, &why, 143));
}

}  // namespace
