#include "agent/unpack_plan.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/test_util.h"
#include "util/quote.h"

namespace {

ZipEntry entry(const std::string& name, int64_t offset, int64_t size = 10) {
  ZipEntry e;
  e.name = name;
  e.versionMadeBy = 3 << 8;
  e.localHeaderOffset = offset;
  e.spanEnd = offset + 40 + size;
  e.compressedSize = e.uncompressedSize = size;
  return e;
}

// Entries that cannot be shared out among unzips: one unzip decides.
TEST(UnpackPlan, RefusesWhatOnlyOneUnzipCanDecide) {
  ZipEntry link = entry("lib", 100);
  link.externalAttributes = (S_IFLNK | 0777u) << 16;
  ZipEntry locked = entry("secret", 100);
  locked.encrypted = true;
  ZipEntry oem = entry("caf\xe9", 100);
  oem.versionMadeBy = 0;
  const struct { std::vector<ZipEntry> entries; int64_t prepended; const char* why; } cases[] = {
      {{entry("a", 0)}, 5, "data in front"},
      {{locked}, 0, "encrypted"},
      {{oem}, 0, "cannot be passed"},
      {{entry("/etc/passwd", 0)}, 0, "cannot be passed"},
      {{entry("a/../../x", 0)}, 0, "cannot be passed"},
      {{entry("a//b", 0)}, 0, "cannot be passed"},
      {{entry("a\\b", 0)}, 0, "cannot be passed"},
      {{entry("a", 0), entry("a", 100)}, 0, "twice"},
      {{entry("d/", 0), entry("d", 100)}, 0, "twice"},
      {{entry("lib/x.so", 0), link}, 0, "directory must be"},
  };
  for (const auto& c : cases) {
    ZipDirectory directory;
    directory.entries = c.entries;
    directory.prependedBytes = c.prepended;
    UnpackPlan plan;
    std::string why;
    EXPECT_FALSE(planUnpack(directory, 2, 1000, &plan, &why)) << c.entries.back().name;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

// Batches run in file order, each ending where its last entry ends, of
// similar unpacked sizes, and within the word budget; directories come
// parents first.
TEST(UnpackPlan, SharesContiguousEntriesOutBySizeAndWords) {
  ZipDirectory directory;
  int64_t offset = 0;
  for (int i = 0; i < 16; ++i) {
    directory.entries.push_back(entry("d/e/f" + std::to_string(i), offset, i == 3 ? 800 : 100));
    offset = directory.entries.back().spanEnd;
  }
  directory.entries.push_back(entry("g/", offset, 0));
  std::swap(directory.entries[0], directory.entries[5]);  // directory order is not file order
  UnpackPlan plan;
  std::string why;
  ASSERT_TRUE(planUnpack(directory, 1, 1000, &plan, &why)) << why;
  EXPECT_EQ(plan.directories, (std::vector<std::string>{"d", "d/e", "g"}));
  EXPECT_EQ(plan.unpackedBytes, 2300);
  // A share is 2300 / 4: a batch closes once it holds that much.
  std::vector<std::vector<std::string>> members;
  for (const UnpackBatch& batch : plan.batches) members.push_back(batch.members);
  ASSERT_EQ(plan.batches.size(), 3u);
  EXPECT_EQ(members[0], (std::vector<std::string>{"d/e/f0", "d/e/f1", "d/e/f2", "d/e/f3"}));
  EXPECT_EQ(plan.batches[0].end, directory.entries[3].spanEnd);
  EXPECT_EQ(members[1].size(), 6u);
  EXPECT_EQ(plan.batches[2].end, directory.entries[15].spanEnd);
  ASSERT_TRUE(planUnpack(directory, 1, 20, &plan, &why));
  for (const UnpackBatch& batch : plan.batches) EXPECT_LE(batch.members.size(), 3u);
}

// The batches' unzips, run at once, unpack exactly what one unzip of the
// whole archive does, whatever the names hold.
TEST(UnpackPlan, BatchesUnpackWhatOneUnzipDoes) {
  ScratchDir scratch;
  std::map<std::string, std::string> files = {
      {"install", "exit 0\n"}, {"a*b", "star"}, {"what?", "q"}, {"[x]y", "brackets"},
      {"with space/file name", "s"}, {"-dash", "d"},
      {"caf\xc3\xa9/\xe2\x9c\x93", "utf8"}, {"deep/er/still/x", std::string(5000, 'z')}};
  for (int i = 0; i < 40; ++i) files["many/f" + std::to_string(i)] = std::string(i * 50, 'm');
  std::string zip = scratch / "agent.zip", in = scratch / "in";
  for (const auto& [name, content] : files) {
    ASSERT_EQ(shell("mkdir -p \"$(dirname " + smart_quote(in + "/" + name) + ")\""), 0);
    writeFile(in + "/" + name, content);
  }
  ASSERT_EQ(shell("cd " + in + " && zip -q -X -r " + zip + " ."), 0);
  ZipDirectory directory;
  std::string error;
  ASSERT_TRUE(readArchiveDirectory(zip, &directory, &error)) << error;
  UnpackPlan plan;
  ASSERT_TRUE(planUnpack(directory, 2, 200, &plan, &error)) << error;
  EXPECT_GT(plan.batches.size(), 4u);
  std::string out = scratch / "out";
  for (const std::string& dir : plan.directories)
    ASSERT_EQ(shell("mkdir -p " + smart_quote(out + "/" + dir)), 0) << dir;
  std::string all;
  for (const UnpackBatch& batch : plan.batches) {
    std::string line = "unzip -qq -o " + zip + " -d " + out;
    for (const std::string& member : batch.members) line += " " + member;
    all += line + " & ";
  }
  ASSERT_EQ(shell("(" + all + "wait) && unzip -qq -o " + zip + " -d " + scratch / "one" +
                  " && diff -r " + out + " " + scratch / "one"),
            0);
  EXPECT_EQ(readFile(out + "/caf\xc3\xa9/\xe2\x9c\x93"), "utf8");
}

TEST(UnpackPlan, ReadsTheDirectoryOfAFileOrSaysWhy) {
  ScratchDir scratch;
  ZipDirectory directory;
  std::string error;
  writeFile(scratch / "junk.zip", std::string(100000, 'j'));
  EXPECT_FALSE(readArchiveDirectory(scratch / "junk.zip", &directory, &error));
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_FALSE(readArchiveDirectory(scratch / "missing.zip", &directory, &error));
  EXPECT_EQ(error, "The archive cannot be read.");
}

}  // namespace
