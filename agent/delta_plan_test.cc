#include "agent/delta_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "agent/unpack_plan.h"
#include "tests/test_util.h"

namespace {

const char kThen[] = "2020-01-01 00:00";  // the old archive's time

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
  // Writes |files| under |name|/ with one fixed time, then packs it; |flags|
  // that end in "-" have zip write to a pipe, so that it streams the entries.
  std::string pack(const std::string& name, const std::map<std::string, std::string>& files,
                   const std::string& flags, const std::string& touch = kThen) {
    std::string in = dir / name, zip = dir / (name + ".zip");
    for (const auto& [path, bytes] : files) {
      std::filesystem::create_directories(std::filesystem::path(in + "/" + path).parent_path());
      writeFile(in + "/" + path, bytes);
    }
    EXPECT_EQ(shell("(cd " + in + " && find . -exec touch -h -d '" + touch + "' {} + && " +
                    "find . -type f | LC_ALL=C sort | zip -q " + flags + " -@" +
                    (flags.back() == '-' ? " | cat > " : " ") + zip + ")"), 0);
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
    out += span.fetched() ? fresh.substr(span.at, span.length)
                          : kept.substr(span.from, span.length);
  }
  return out + fresh.substr(end);
}

TEST(DeltaPlan, RebuildsTheNewArchiveFromTheKeptOneAndRanges) {
  // The old archive's zip flags; the new one's, its time and whether it
  // has a comment; of the 37 unchanged entries, how many are copied whole
  // and how many have only their local header fetched.
  const struct { const char *flags, *newFlags, *newTime; bool comment; int copied, headers; }
  packings[] = {
      {"-X -9", "-X -9", kThen, false, 37, 0},              // reproducible
      {"-X -9", "-X -9", "2024-06-01 12:00", true, 0, 37},  // every time changed
      {"-9", "-9", kThen, false, 0, 37},                    // local extra fields with access times
      {"-X -fz", "-X -fz", kThen, true, 0, 37},             // zip64: local extras hold more
      {"-X -9", "-X -0", kThen, false, 0, 0},               // another method for every entry
      {"-X -9", "-X -9 -", kThen, false, 0, 0},             // streamed: other flags
      {"-X -9 -", "-X -9 -", kThen, false, 0, 0},           // both streamed: data descriptors
  };
  for (unsigned seed = 0; seed < 7; ++seed) {
    const auto& packing = packings[seed];
    SCOPED_TRACE(seed);
    Pair pair(seed);
    std::map<std::string, std::string> files;
    for (int i = 0; i < 40; ++i)
      files["lib/d" + std::to_string(i % 7) + "/f" + std::to_string(i)] =
          pair.text(200 + pair.random() % 20000);
    std::string old = pair.pack("old", files, packing.flags);
    files["lib/d1/f8"] = pair.text(3000);                   // changed
    files.erase("lib/d2/f9");                               // deleted
    files["lib/new"] = pair.text(5000);                     // added
    files["lib/renamed"] = files["lib/d3/f10"];             // renamed
    files.erase("lib/d3/f10");
    std::string fresh = pair.pack("new", files, packing.newFlags, packing.newTime);
    if (packing.comment) {
      EXPECT_EQ(shell("echo 'release notes' | zip -q -z " + fresh), 0);
    }
    std::string freshBytes = readFile(fresh);
    int64_t end = std::max<int64_t>(0, freshBytes.size() - 4096);
    DeltaPlan plan;
    std::string why;
    ASSERT_TRUE(planDelta(directoryOf(old), old, directoryOf(fresh), end, &plan, &why)) << why;
    EXPECT_TRUE(rebuild(plan, readFile(old), freshBytes, end) == freshBytes);
    EXPECT_EQ(std::make_tuple(plan.fetchBytes + plan.copyBytes, plan.copied, plan.headersFetched),
              std::make_tuple(end, packing.copied, packing.headers));
  }
}

// A kept archive that lies about its local headers is refused.
TEST(DeltaPlan, RefusesAKeptArchiveItCannotRead) {
  Pair pair(99);
  std::string old = pair.pack("old", {{"a", pair.text(5000)}, {"b", pair.text(5000)}}, "-X");
  std::string bytes = readFile(old), lying = pair.dir / "lying.zip";
  writeFile(lying, "X" + bytes.substr(1));  // the first local header's signature
  DeltaPlan plan;
  std::string why;
  EXPECT_FALSE(planDelta(directoryOf(old), lying, directoryOf(old), bytes.size(), &plan, &why));
  EXPECT_NE(why.find("disagrees"), std::string::npos) << why;
}

}  // namespace
