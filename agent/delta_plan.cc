#include "agent/delta_plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "agent/unpack_plan.h"

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr int64_t kLocalHeaderSize = 30;
constexpr uint16_t kDataDescriptor = 1 << 3;

// An entry's local header as the kept file holds it.
struct LocalHeader {
  int64_t size = 0;  // fixed part, name and extra field
  std::string extra;
};

bool readLocalHeader(int fd, const ZipEntry& entry, LocalHeader* header) {
  std::string fixed(kLocalHeaderSize, '\0');
  if (pread(fd, &fixed[0], fixed.size(), entry.localHeaderOffset) != kLocalHeaderSize ||
      littleEndian(fixed, 0, 4) != kLocalSignature)
    return false;
  size_t nameLength = littleEndian(fixed, 26, 2), extraLength = littleEndian(fixed, 28, 2);
  std::string rest(nameLength + extraLength, '\0');
  int64_t after = entry.localHeaderOffset + kLocalHeaderSize;
  if (!rest.empty() && pread(fd, &rest[0], rest.size(), after) != static_cast<ssize_t>(rest.size()))
    return false;
  if (rest.compare(0, nameLength, entry.name) != 0 || littleEndian(fixed, 6, 2) != entry.flags ||
      littleEndian(fixed, 8, 2) != entry.method)
    return false;
  header->size = kLocalHeaderSize + static_cast<int64_t>(rest.size());
  header->extra = rest.substr(nameLength);
  return header->size + entry.compressedSize <= entry.spanEnd - entry.localHeaderOffset;
}

bool sameData(const ZipEntry& a, const ZipEntry& b) {
  return a.crc32 == b.crc32 && a.compressedSize == b.compressedSize &&
         a.uncompressedSize == b.uncompressedSize && a.method == b.method && a.flags == b.flags &&
         !(a.flags & kDataDescriptor);
}

// |directory|'s entries in file order; false with |why| when a name is
// given twice or a span reaches into the next: a new directory that listed
// one kept entry many times would have it copied, and its ranges fetched,
// once for each.
bool inFileOrder(const ZipDirectory& directory, const std::string& which,
                 std::vector<const ZipEntry*>* order, std::string* why) {
  order->clear();
  for (const ZipEntry& entry : directory.entries) order->push_back(&entry);
  std::sort(order->begin(), order->end(), [](const ZipEntry* a, const ZipEntry* b) {
    return a->localHeaderOffset < b->localHeaderOffset;
  });
  std::set<std::string> names;
  int64_t reached = 0;
  for (const ZipEntry* entry : *order) {
    if (!names.insert(entry->name).second) return *why = "a name given twice in " + which, false;
    if (entry->localHeaderOffset < reached || entry->spanEnd < entry->localHeaderOffset)
      return *why = "spans that overlap in " + which, false;
    reached = entry->spanEnd;
  }
  return true;
}

}  // namespace

int DeltaPlan::fetchRanges() const {
  return static_cast<int>(std::count_if(spans.begin(), spans.end(),
                                        [](const DeltaSpan& s) { return s.fetched(); }));
}

bool planDelta(const ZipDirectory& kept, const std::string& keptPath, const ZipDirectory& fresh,
               int64_t end, DeltaPlan* plan, std::string* why) {
  *plan = DeltaPlan();
  if (kept.prependedBytes > 0 || fresh.prependedBytes > 0) return *why = "data in front", false;
  std::vector<const ZipEntry*> order;
  if (!inFileOrder(kept, "the kept directory", &order, why) ||
      !inFileOrder(fresh, "the new directory", &order, why))
    return false;
  std::map<std::string, const ZipEntry*> byName;
  for (const ZipEntry& entry : kept.entries) {
    if (entry.encrypted) return *why = "an encrypted entry", false;
    byName.emplace(entry.name, &entry);
  }
  int fd = open(keptPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return *why = "the kept archive cannot be read", false;
  auto add = [&](int64_t at, int64_t length, int64_t from) {
    length = std::min(length, end - at);
    if (length <= 0) return;
    DeltaSpan* last = plan->spans.empty() ? nullptr : &plan->spans.back();
    if (from < 0 && last && last->fetched() && last->at + last->length == at)
      last->length += length;
    else
      plan->spans.push_back({at, length, from});
    (from < 0 ? plan->fetchBytes : plan->copyBytes) += length;
  };
  bool trusted = true;
  for (const ZipEntry* entry : order) {
    if (entry->encrypted) {
      *why = "an encrypted entry";
      trusted = false;
      break;
    }
    int64_t span = entry->spanEnd - entry->localHeaderOffset;
    auto found = byName.find(entry->name);
    LocalHeader header;
    const ZipEntry* old = found == byName.end() ? nullptr : found->second;
    if (old && sameData(*entry, *old) && !(old->flags & kDataDescriptor)) {
      if (!readLocalHeader(fd, *old, &header)) {
        *why = "a kept local header that disagrees with its directory: " + old->name;
        trusted = false;
        break;
      }
      int64_t oldSpan = old->spanEnd - old->localHeaderOffset;
      bool sameHeader = entry->dosTime == old->dosTime && entry->dosDate == old->dosDate &&
                        entry->extra == old->extra && header.extra == old->extra && span == oldSpan;
      if (sameHeader) {
        add(entry->localHeaderOffset, span, old->localHeaderOffset);
        ++plan->copied;
        continue;
      }
      // The data is the same; its header is fetched, the data copied.
      int64_t headerSize = span - entry->compressedSize;
      if (headerSize >= kLocalHeaderSize && oldSpan == header.size + old->compressedSize) {
        add(entry->localHeaderOffset, headerSize, -1);
        add(entry->localHeaderOffset + headerSize, entry->compressedSize,
            old->localHeaderOffset + header.size);
        ++plan->headersFetched;
        continue;
      }
    }
    add(entry->localHeaderOffset, span, -1);
    ++plan->entriesFetched;
  }
  close(fd);
  if (!trusted) return false;
  // The spans tile the file up to its directory; the directory and the end
  // records up to |end| belong to the new file alone.
  int64_t covered = order.empty() ? 0 : order.back()->spanEnd;
  if (covered < end) add(covered, end - covered, -1);
  if (plan->fetchRanges() > kDeltaMaxRequests)
    return *why = std::to_string(plan->fetchRanges()) + " ranges to fetch", false;
  return true;
}

DeltaTimes estimateDelta(const DeltaPlan& plan, int64_t whole, const LinkEstimate& link) {
  double rate = link.bytesPerSecond > 0 ? link.bytesPerSecond : 4e6;
  double roundTrip = link.roundTrip > 0 ? link.roundTrip : 0.1;
  int64_t ranges = plan.fetchRanges();
  auto rounds = [](int64_t requests, int64_t atOnce) { return (requests + atOnce - 1) / atOnce; };
  int64_t http2 = rounds(ranges, kStreamsAtOnce);
  int64_t http1 = rounds(rounds(ranges, kRangesPerRequest), kConnectionsAtOnce);
  DeltaTimes times;
  times.delta = plan.fetchBytes / rate + (std::max(http2, http1) + 1) * roundTrip;
  times.whole = whole / rate + roundTrip;
  return times;
}

int64_t suffixForUpdate(const std::string& keptArchive) {
  ZipDirectory kept;
  std::string why;
  struct stat st;
  if (stat(keptArchive.c_str(), &st) != 0 || !readArchiveDirectory(keptArchive, &kept, &why))
    return kZipSuggestedTail;
  int64_t directory = kept.prependedBytes;  // where the directory begins
  for (const ZipEntry& entry : kept.entries) directory = std::max(directory, entry.spanEnd);
  int64_t tail = st.st_size - directory;
  return std::min<int64_t>(kZipMaxDirectorySize, tail + tail / 4 + 4096);
}
