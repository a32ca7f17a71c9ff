#include "agent/delta_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "agent/unpack_plan.h"
#include "tests/test_util.h"

namespace {

// Two versions of an agent, packed by the real zip with |flags|; the new
// one rebuilt from the old and the planned ranges of the new must be the
// new one byte for byte.
struct Pair {
  ScratchDir dir;
  std::mt19937 random;
  explicit Pair(unsigned seed) : random(seed) {}

  std::string text(size_t n) {
    std::string words[] = {"agent ", "install ", "library ", "\n", "data ", "0x1f "};
    std::string out;
    while (out.size() < n) out += words[random() % 6];
    return out;
  }
  // Writes |files| under |name|/ with one fixed time, then packs it.
  std::string pack(const std::string& name, const std::map<std::string, std::string>& files,
                   const std::string& flags, const std::string& touch) {
    std::string in = dir / name, zip = dir / (name + ".zip");
    for (const auto& [path, bytes] : files) {
      std::filesystem::create_directories(std::filesystem::path(in + "/" + path).parent_path());
      writeFile(in + "/" + path, bytes);
    }
    EXPECT_EQ(shell("cd " + in + " && find . -exec touch -h -d '" + touch + "' {} + && " +
                    "find . -type f | LC_ALL=C sort | zip -q " + flags + " -@ " + zip),
              0);
    return zip;
  }
};

ZipDirectory directoryOf(const std::string& zip) {
  ZipDirectory directory;
  std::string error;
  EXPECT_TRUE(readArchiveDirectory(zip, &directory, &error)) << error;
  return directory;
}

// Rebuilds the new file from the plan, the kept file and the new file's
// own bytes for what is fetched, then its end.
std::string rebuild(const DeltaPlan& plan, const std::string& kept, const std::string& fresh,
                    int64_t end) {
  std::string out;
  for (const DeltaSpan& span : plan.spans) {
    EXPECT_EQ(span.at, static_cast<int64_t>(out.size()));
    out += span.fetched() ? fresh.substr(span.at, span.length) : kept.substr(span.from, span.length);
  }
  return out + fresh.substr(end);
}

TEST(DeltaPlan, RebuildsTheNewArchiveFromTheKeptOneAndRanges) {
  const struct { const char* flags; const char* newTime; bool reproducible; } packings[] = {
      {"-X -9", "2020-01-01 00:00", true},    // reproducible: changed entries alone are fetched
      {"-X -9", "2024-06-01 12:00", false},   // every time changed: headers fetched, data copied
      {"-9", "2020-01-01 00:00", false},      // extra fields with access times
      {"-X -fz", "2020-01-01 00:00", true},   // zip64
  };
  for (unsigned seed = 0; seed < 4; ++seed) {
    const auto& packing = packings[seed % 4];
    Pair pair(seed);
    std::map<std::string, std::string> files;
    for (int i = 0; i < 40; ++i) files["lib/d" + std::to_string(i % 7) + "/f" + std::to_string(i)] =
                                     pair.text(200 + pair.random() % 20000);
    std::string old = pair.pack("old", files, packing.flags, "2020-01-01 00:00");
    files["lib/d1/f8"] = pair.text(3000);                   // changed
    files.erase("lib/d2/f9");                               // deleted
    files["lib/new"] = pair.text(5000);                     // added
    files["lib/renamed"] = files["lib/d3/f10"];             // renamed
    files.erase("lib/d3/f10");
    std::string flags = packing.flags;
    if (seed % 3 == 0) flags += " -0";  // another method for every entry
    std::string fresh = pair.pack("new", files, flags, packing.newTime);
    if (seed % 2) {
      EXPECT_EQ(shell("echo 'release notes' | zip -q -z " + fresh), 0);
    }
    std::string freshBytes = readFile(fresh);
    int64_t end = std::max<int64_t>(0, freshBytes.size() - 4096);
    DeltaPlan plan;
    std::string why;
    ASSERT_TRUE(planDelta(directoryOf(old), old, directoryOf(fresh), end, &plan, &why)) << why;
    EXPECT_TRUE(rebuild(plan, readFile(old), freshBytes, end) == freshBytes) << "seed " << seed;
    EXPECT_EQ(plan.fetchBytes + plan.copyBytes, end);
    if (packing.reproducible && seed % 3 != 0) {
      EXPECT_LT(plan.fetchBytes, freshBytes.size() / 10) << "seed " << seed;
    }
  }
}

// Archives written as a stream carry data descriptors: their entries are
// fetched; a kept archive that lies about its local headers is refused.
TEST(DeltaPlan, FetchesWhatItCannotVouchForAndRefusesWhatItCannotRead) {
  Pair pair(99);
  std::map<std::string, std::string> files = {{"a", pair.text(5000)}, {"b", pair.text(5000)}};
  std::string old = pair.pack("old", files, "-X", "2020-01-01 00:00");
  std::string streamed = pair.dir / "streamed.zip";
  ASSERT_EQ(shell("(cd " + pair.dir / "old" + " && printf 'a\\nb\\n' | zip -q -X - -@ | cat > " +
                  streamed + ")"),
            0);
  DeltaPlan plan;
  std::string why;
  ASSERT_TRUE(planDelta(directoryOf(old), old, directoryOf(streamed), 100, &plan, &why)) << why;
  EXPECT_EQ(plan.copied, 0);
  ASSERT_TRUE(planDelta(directoryOf(streamed), streamed, directoryOf(old), 100, &plan, &why));
  EXPECT_EQ(plan.copied, 0);
  std::string bytes = readFile(old);
  bytes[0] = 'X';  // the first local header's signature
  writeFile(pair.dir / "lying.zip", bytes);
  EXPECT_FALSE(planDelta(directoryOf(old), pair.dir / "lying.zip", directoryOf(old),
                         static_cast<int64_t>(bytes.size()), &plan, &why));
  EXPECT_NE(why.find("disagrees"), std::string::npos) << why;
}

}  // namespace
