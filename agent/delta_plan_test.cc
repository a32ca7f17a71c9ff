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

}  // namespace
