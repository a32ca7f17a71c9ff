#include "agent/delta_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "agent/unpack_plan.h"
#include "tests/test_util.h"

namespace {

const char kThen[] = "2020-01-01 00:00";  // the old archive's time

ZipDirectory directoryOf(const std::string& zip) {
  ZipDirectory directory;
  std::string error;
  EXPECT_TRUE(readArchiveDirectory(zip, &directory, &error)) << error;
  return directory;
}

// Two versions of an agent, packed by the real zip; the new one rebuilt from
// the old, and the new one's own bytes for the ranges the plan fetches, must
// be the new one byte for byte. Each row: the old archive's zip flags (those
// that end in "-" have zip write to a pipe, so that it streams the entries);
// the new one's, its time and whether it has a comment; of the 37 unchanged
// entries, how many are copied whole and how many have only their local
// header fetched.
TEST(DeltaPlan, RebuildsTheNewArchiveFromTheKeptOneAndRanges) {
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
    ScratchDir dir;
    std::mt19937 random(seed);
    auto text = [&](size_t n) {
      const std::string words[] = {"agent ", "install ", "library ", "\n", "data ", "0x1f "};
      std::string out;
      while (out.size() < n) out += words[random() % 6];
      return out;
    };
    std::map<std::string, std::string> files;
    auto pack = [&](const std::string& name, const std::string& flags, const std::string& time) {
      std::string in = dir / name, zip = dir / (name + ".zip");
      std::filesystem::create_directories(in + "/lib");
      for (const auto& [path, bytes] : files) writeFile(in + "/" + path, bytes);
      EXPECT_EQ(shell("(cd " + in + " && find . -exec touch -h -d '" + time + "' {} + && " +
                      "find . -type f | LC_ALL=C sort | zip -q " + flags + " -@" +
                      (flags.back() == '-' ? " | cat > " : " ") + zip + ")"), 0);
      return zip;
    };
    for (int i = 0; i < 40; ++i) files["lib/f" + std::to_string(i)] = text(200 + random() % 20000);
    std::string old = pack("old", packing.flags, kThen);
    files["lib/f8"] = text(3000);                                // changed
    files.erase("lib/f9");                                       // deleted
    files["lib/new"] = text(5000);                               // added
    files["lib/renamed"] = files.extract("lib/f10").mapped();  // renamed
    std::string fresh = pack("new", packing.newFlags, packing.newTime);
    EXPECT_EQ(packing.comment ? shell("echo 'release notes' | zip -q -z " + fresh) : 0, 0);
    std::string freshBytes = readFile(fresh), kept = readFile(old), rebuilt, why;
    int64_t end = std::max<int64_t>(0, freshBytes.size() - 4096);
    DeltaPlan plan;
    ASSERT_TRUE(planDelta(directoryOf(old), old, directoryOf(fresh), end, &plan, &why)) << why;
    for (const DeltaSpan& span : plan.spans) {
      EXPECT_EQ(span.at, int64_t(rebuilt.size()));
      rebuilt += span.fetched() ? freshBytes.substr(span.at, span.length)
                                : kept.substr(span.from, span.length);
    }
    EXPECT_TRUE(rebuilt + freshBytes.substr(end) == freshBytes);
    EXPECT_EQ(std::make_tuple(plan.fetchBytes + plan.copyBytes, plan.copied, plan.headersFetched),
              std::make_tuple(end, packing.copied, packing.headers));
  }
}

// An archive of one entry more than the ranges allowed, and a new
// directory of its entries with another time, so that each needs a range
// of its own for its local header: changed as each row says, the plan is
// refused with a reason that names the fault.
TEST(DeltaPlan, RefusesWhatWouldMultiplyTheRequestsOrCannotBeTrusted) {
  // Each row's change to the kept directory and the new one, and the reason.
  const struct { void (*change)(ZipDirectory&, ZipDirectory&); std::string why; } rows[] = {
      {[](auto&, auto&) {}, "10001 ranges to fetch"},
      {[](auto&, auto& fresh) { fresh.entries[2].name = fresh.entries[1].name; }, "name given twice"},
      {[](auto& kept, auto&) { kept.entries[2].localHeaderOffset -= 5; }, "overlap in the kept"},
      {[](auto& kept, auto&) { kept.entries[1].localHeaderOffset += 1; }, "disagrees"},
      {[](auto&, auto& fresh) { fresh.prependedBytes = 7; }, "data in front"}};
  ScratchDir dir;
  std::map<std::string, std::string> files;
  for (int i = 0; i <= kDeltaMaxRequests; ++i) files[std::to_string(100000 + i)] = "0123456789";
  makeZip(dir / "kept.zip", files);
  const ZipDirectory kept = directoryOf(dir / "kept.zip");
  for (const auto& row : rows) {
    ZipDirectory old = kept, fresh = kept;
    for (ZipEntry& entry : fresh.entries) entry.dosTime ^= 1;
    row.change(old, fresh);
    DeltaPlan plan;
    std::string why;
    EXPECT_FALSE(planDelta(old, dir / "kept.zip", fresh, kept.entries.back().spanEnd, &plan, &why));
    EXPECT_NE(why.find(row.why), std::string::npos) << why;
  }
}

// The choice goes by time: bytes at the link's rate, and a round trip for
// each round of requests. Each row: the archive, what the delta fetches
// in how many ranges, the link (rate 0 and round trip 0: unknown), and
// whether the delta is taken.
TEST(DeltaPlan, TakesTheDeltaWheneverItIsEstimatedFaster) {
  const int64_t kArchive = 386 << 20;
  const struct { const char* name; int64_t whole, bytes; int ranges; double rate, roundTrip; bool pays; }
  rows[] = {
      {"three quarters, 20 Mbit/s, 50 ms", kArchive, kArchive * 3 / 4, 3000, 2.5e6, 0.05, true},
      {"all but 1%, many ranges", kArchive, kArchive * 99 / 100, 4000, 2.5e6, 0.05, false},
      {"every time changed", kArchive, kArchive / 100, 4000, 2.5e6, 0.05, true},
      {"a third of a small archive, fast link", 720000, 240000, 9, 1e7, 0.1, false},
      {"the same on a slow link", 720000, 240000, 9, 1e5, 0.1, true},
      {"three quarters, link unknown", kArchive, kArchive * 3 / 4, 3000, 0, 0, true},
      {"a tenth in many ranges, long round trips", 10 << 20, 1 << 20, 9000, 1e7, 1.0, false},
  };
  for (const auto& row : rows) {
    DeltaPlan plan;
    plan.fetchBytes = row.bytes;
    for (int i = 0; i < row.ranges; ++i) plan.spans.push_back({i * 2, 1, -1}), plan.spans.push_back({i * 2 + 1, 1, 0});
    DeltaTimes times = estimateDelta(plan, row.whole, {row.rate, row.roundTrip});
    EXPECT_EQ(deltaPays(times), row.pays) << row.name << ": " << times.delta << " s against " << times.whole;
  }
}

// The first suffix of an update holds the kept archive's directory and the
// end records, with room for entries the new release adds; without a kept
// archive it is the usual one.
TEST(DeltaPlan, SizesTheFirstSuffixFromTheKeptDirectory) {
  ScratchDir dir;
  std::map<std::string, std::string> files;
  for (int i = 0; i < 24; ++i) files["file" + std::to_string(i)] = std::string(20000, 'a' + i);
  makeZip(dir / "new.zip", files);
  for (int i = 20; i < 24; ++i) files.erase("file" + std::to_string(i));
  makeZip(dir / "old.zip", files);
  std::string fresh = readFile(dir / "new.zip"), why;
  int64_t suffix = suffixForUpdate(dir / "old.zip"), need = 0;
  ZipDirectory found;  // under 8 KiB, not 256 KiB
  DirectorySearch search = searchCentralDirectory(fresh.substr(fresh.size() - std::min<size_t>(suffix, fresh.size())),
                                                  fresh.size(), &found, &need, &why);
  EXPECT_EQ(std::make_tuple(search, found.entries.size(), suffix < 8192, suffixForUpdate(dir / "none.zip")),
            std::make_tuple(DirectorySearch::kFound, 24u, true, kZipSuggestedTail)) << why;
}

}  // namespace
