#include "agent/zip_directory.h"

#include <algorithm>
#include <functional>
#include <limits>

namespace {

constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr int64_t kEndSize = 22;
constexpr int64_t kLocatorSize = 20;
constexpr int64_t kZip64EndSize = 56;
constexpr int64_t kMaxComment = 65535;
// The suffix that always holds the end record and, before it, the zip64
// locator and a zip64 record without extensible data.
constexpr int64_t kEndSearchTail = kEndSize + kMaxComment + kLocatorSize + kZip64EndSize;
constexpr int64_t kCentralHeaderSize = 46;
constexpr int64_t kLocalHeaderSize = 30;
// Deflate spends at least two bits on a 258-byte match, so no stream grows
// more than 1032-fold.
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr uint64_t kMax16 = 0xffff;
constexpr uint64_t kMax32 = 0xffffffff;
constexpr uint64_t kMaxInt64 = std::numeric_limits<int64_t>::max();

constexpr auto le = &littleEndian;

bool fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

// The data of the first record |id| in the extra field |extra|; false when
// there is none. A record that runs past the field ends the walk.
bool findExtra(const std::string& extra, uint16_t id, std::string* data) {
  for (size_t at = 0; at + 4 <= extra.size();) {
    size_t length = le(extra, at + 2, 2);
    if (length > extra.size() - at - 4) return false;
    if (le(extra, at, 2) == id) {
      *data = extra.substr(at + 4, length);
      return true;
    }
    at += 4 + length;
  }
  return false;
}

// The zip64 end record's position: just before the locator at |locator|
// (where zip writes it, and where it still is when data was put in front of
// the archive), else at |stated|. -1 when neither holds one; sets |need|
// when |tail| (starting at |base| in the file) is too short to tell.
int64_t findZip64End(const std::string& tail, int64_t base, int64_t locator, uint64_t stated,
                     int64_t* need) {
  int64_t fileSize = base + static_cast<int64_t>(tail.size());
  int64_t candidates[2] = {locator - kZip64EndSize,
                           stated <= static_cast<uint64_t>(locator) ? static_cast<int64_t>(stated)
                                                                     : -1};
  for (int64_t at : candidates) {
    if (at < 0 || at + kZip64EndSize > locator) continue;
    if (at < base) {
      *need = fileSize - at;
      return -1;
    }
    if (le(tail, at - base, 4) != kZip64EndSignature) continue;
    uint64_t recordSize = le(tail, at - base + 4, 8);
    if (recordSize >= kZip64EndSize - 12 && recordSize <= static_cast<uint64_t>(locator - at - 12))
      return at;
  }
  return -1;
}

}  // namespace

bool findCentralDirectory(const std::string& tail, int64_t fileSize, ZipDirectoryLocation* where,
                          std::string* error) {
  *where = ZipDirectoryLocation();
  error->clear();
  int64_t tailSize = static_cast<int64_t>(tail.size());
  if (fileSize < 0 || tailSize > fileSize) return fail(error, "tail longer than the file");
  if (fileSize < kEndSize) return fail(error, "file too short for a zip archive");
  int64_t base = fileSize - tailSize;

  // The last signature with room for a record is the end record, as unzip
  // takes it: a comment holding one more is refused, not read past, so that
  // both see the same directory.
  int64_t end = -1;
  int64_t lowest = std::max<int64_t>(0, fileSize - kEndSize - kMaxComment);
  for (int64_t at = tailSize - kEndSize; at >= std::max<int64_t>(0, lowest - base); --at) {
    if (tail[at] == 'P' && tail[at + 1] == 'K' && tail[at + 2] == 5 && tail[at + 3] == 6) {
      end = base + at;
      break;
    }
  }
  if (end < 0 && base > lowest) {
    where->needTail = std::min(fileSize, kEndSearchTail);
    return false;
  }
  if (end < 0) return fail(error, "no end of central directory record");
  int64_t e = end - base;
  if (static_cast<int64_t>(le(tail, e + 20, 2)) != fileSize - end - kEndSize)
    return fail(error, "archive comment does not end with the file");
  uint64_t disk = le(tail, e + 4, 2), directoryDisk = le(tail, e + 6, 2);
  uint64_t diskCount = le(tail, e + 8, 2), count = le(tail, e + 10, 2);
  uint64_t size = le(tail, e + 12, 4), offset = le(tail, e + 16, 4);
  where->comment = tail.substr(e + kEndSize);

  int64_t directoryEnd = end;
  int64_t locator = end - kLocatorSize;
  if (locator >= 0 && locator < base) {
    where->needTail = fileSize - locator;
    return false;
  }
  if (locator >= 0 && le(tail, locator - base, 4) == kZip64LocatorSignature) {
    int64_t l = locator - base;
    if (le(tail, l + 4, 4) != 0 || le(tail, l + 16, 4) > 1)
      return fail(error, "multi-disk archives are not supported");
    int64_t need = 0;
    int64_t record = findZip64End(tail, base, locator, le(tail, l + 8, 8), &need);
    if (need) {
      where->needTail = need;
      return false;
    }
    if (record < 0) return fail(error, "no zip64 end of central directory record");
    int64_t r = record - base;
    const uint64_t values[6] = {le(tail, r + 16, 4), le(tail, r + 20, 4), le(tail, r + 24, 8),
                                le(tail, r + 32, 8), le(tail, r + 40, 8), le(tail, r + 48, 8)};
    const uint64_t stated[6] = {disk, directoryDisk, diskCount, count, size, offset};
    const uint64_t full[6] = {kMax16, kMax16, kMax16, kMax16, kMax32, kMax32};
    for (int i = 0; i < 6; ++i)
      if (stated[i] != full[i] && stated[i] != values[i])
        return fail(error, "end of central directory records disagree");
    disk = values[0], directoryDisk = values[1], diskCount = values[2], count = values[3];
    size = values[4], offset = values[5];
    directoryEnd = record;
    where->zip64 = true;
  }

  if (disk != 0 || directoryDisk != 0 || diskCount != count)
    return fail(error, "multi-disk archives are not supported");
  if (count > static_cast<uint64_t>(kZipMaxEntries))
    return fail(error, "more than " + std::to_string(kZipMaxEntries) + " entries");
  if (size > static_cast<uint64_t>(kZipMaxDirectorySize))
    return fail(error, "central directory larger than " + std::to_string(kZipMaxDirectorySize) +
                           " bytes");
  if (size > static_cast<uint64_t>(directoryEnd))
    return fail(error, "central directory larger than the file before it");
  if (count > size / kCentralHeaderSize)
    return fail(error, "entry count too large for the central directory's size");
  int64_t start = directoryEnd - static_cast<int64_t>(size);
  if (offset > static_cast<uint64_t>(start))
    return fail(error, "central directory offset past the directory");
  where->directoryOffset = start;
  where->directorySize = static_cast<int64_t>(size);
  where->entryCount = static_cast<int64_t>(count);
  where->offsetShift = start - static_cast<int64_t>(offset);
  where->needTail = fileSize - start;
  return where->needTail <= tailSize;
}

namespace {

// Reads the entry at |at| in |tail| (which ends at |end|) into |entry| and
// moves |at| past it; false with |error| when it is malformed.
bool readEntry(const std::string& tail, int64_t* at, int64_t end, ZipEntry* entry,
               std::string* error) {
  int64_t p = *at;
  if (end - p < kCentralHeaderSize) return fail(error, "truncated");
  if (le(tail, p, 4) != kCentralSignature) return fail(error, "no central directory signature");
  entry->versionMadeBy = le(tail, p + 4, 2);
  entry->flags = le(tail, p + 8, 2);
  entry->method = le(tail, p + 10, 2);
  entry->dosTime = le(tail, p + 12, 2);
  entry->dosDate = le(tail, p + 14, 2);
  entry->crc32 = le(tail, p + 16, 4);
  uint64_t compressed = le(tail, p + 20, 4), uncompressed = le(tail, p + 24, 4);
  int64_t nameLength = le(tail, p + 28, 2), extraLength = le(tail, p + 30, 2);
  int64_t commentLength = le(tail, p + 32, 2);
  uint64_t disk = le(tail, p + 34, 2);
  entry->internalAttributes = le(tail, p + 36, 2);
  entry->externalAttributes = le(tail, p + 38, 4);
  uint64_t offset = le(tail, p + 42, 4);
  if (nameLength > static_cast<int64_t>(kZipMaxNameLength))
    return fail(error, "name longer than " + std::to_string(kZipMaxNameLength) + " bytes");
  if (nameLength == 0) return fail(error, "empty name");
  if (end - p - kCentralHeaderSize < nameLength + extraLength + commentLength)
    return fail(error, "truncated");
  p += kCentralHeaderSize;
  entry->name = tail.substr(p, nameLength);
  entry->extra = tail.substr(p + nameLength, extraLength);
  entry->comment = tail.substr(p + nameLength + extraLength, commentLength);
  *at = p + nameLength + extraLength + commentLength;

  // The zip64 field holds, in this order, each value the header marks as
  // too large for it.
  std::string zip64;
  bool hasZip64 = findExtra(entry->extra, 0x0001, &zip64);
  size_t used = 0;
  for (auto [value, width] : {std::pair<uint64_t*, int>{&uncompressed, 8}, {&compressed, 8},
                              {&offset, 8}, {&disk, 4}}) {
    if (*value != (width == 8 ? kMax32 : kMax16)) continue;
    if (!hasZip64 || zip64.size() - used < static_cast<size_t>(width))
      return fail(error, "zip64 extra field missing or short");
    *value = le(zip64, used, width);
    used += width;
  }
  if (disk != 0) return fail(error, "on another disk (multi-disk archives are not supported)");
  if (compressed > kMaxInt64 || uncompressed > kMaxInt64 || offset > kMaxInt64)
    return fail(error, "size or offset out of range");
  entry->encrypted = entry->flags & 1;
  if (entry->method == 0 && !entry->encrypted && compressed != uncompressed)
    return fail(error, "stored with differing sizes");
  if (entry->method == 8 && (uncompressed + kMaxDeflateRatio - 1) / kMaxDeflateRatio > compressed)
    return fail(error, "uncompressed size beyond what deflate can expand to");
  entry->compressedSize = compressed;
  entry->uncompressedSize = uncompressed;
  entry->localHeaderOffset = offset;
  return true;
}

}  // namespace

bool readCentralDirectory(const std::string& tail, const ZipDirectoryLocation& where,
                          int64_t fileSize, ZipDirectory* directory, std::string* error) {
  *directory = ZipDirectory();
  error->clear();
  int64_t tailSize = static_cast<int64_t>(tail.size());
  if (fileSize < tailSize || where.directoryOffset < fileSize - tailSize ||
      where.directorySize < 0 || where.directorySize > fileSize - where.directoryOffset ||
      where.offsetShift < 0 || where.offsetShift > where.directoryOffset ||
      where.entryCount < 0 || where.entryCount > kZipMaxEntries)
    return fail(error, "the tail does not hold the central directory");
  int64_t at = where.directoryOffset - (fileSize - tailSize);
  int64_t end = at + where.directorySize;
  std::vector<ZipEntry>& entries = directory->entries;
  entries.reserve(std::min(where.entryCount, where.directorySize / kCentralHeaderSize));
  // Stated offsets below this lie inside the entries' part of the file.
  int64_t maxOffset = where.directoryOffset - where.offsetShift;
  for (int64_t i = 0; i < where.entryCount; ++i) {
    ZipEntry entry;
    std::string why;
    if (!readEntry(tail, &at, end, &entry, &why))
      return fail(error, "entry " + std::to_string(i) + ": " + why);
    if (entry.localHeaderOffset >= maxOffset)
      return fail(error, "entry " + std::to_string(i) + ": local header outside the entries");
    entry.localHeaderOffset += where.offsetShift;
    entries.push_back(std::move(entry));
  }
  if (at != end) return fail(error, "central directory longer than its entries");

  std::vector<size_t> order(entries.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return entries[a].localHeaderOffset < entries[b].localHeaderOffset;
  });
  for (size_t k = 0; k < order.size(); ++k) {
    ZipEntry& entry = entries[order[k]];
    entry.spanEnd = k + 1 < order.size() ? entries[order[k + 1]].localHeaderOffset
                                         : where.directoryOffset;
    int64_t room = entry.spanEnd - entry.localHeaderOffset - kLocalHeaderSize -
                   static_cast<int64_t>(entry.name.size());
    if (entry.spanEnd == entry.localHeaderOffset)
      return fail(error, "entries " + std::to_string(order[k]) + " and " +
                             std::to_string(order[k + 1]) + " share a local header");
    if (room < 0 || entry.compressedSize > room)
      return fail(error, "entry " + std::to_string(order[k]) + ": data runs past its span");
  }
  directory->prependedBytes =
      entries.empty() ? where.directoryOffset : entries[order[0]].localHeaderOffset;
  return true;
}

DirectorySearch searchCentralDirectory(const std::string& tail, int64_t fileSize,
                                       ZipDirectory* directory, int64_t* needTail,
                                       std::string* error) {
  ZipDirectoryLocation where;
  error->clear();
  if (findCentralDirectory(tail, fileSize, &where, error))
    return readCentralDirectory(tail, where, fileSize, directory, error) ? DirectorySearch::kFound
                                                                         : DirectorySearch::kRefused;
  if (!error->empty()) return DirectorySearch::kRefused;
  // Asking again for what was given would never end.
  if (where.needTail <= static_cast<int64_t>(tail.size()) || where.needTail > fileSize) {
    *error = "The archive's directory was not found.";
    return DirectorySearch::kRefused;
  }
  *needTail = where.needTail;
  return DirectorySearch::kNeedMore;
}

int64_t totalUnpackedSize(const std::vector<ZipEntry>& entries) {
  int64_t total = 0;
  for (const ZipEntry& entry : entries)
    total = entry.uncompressedSize > INT64_MAX - total ? INT64_MAX : total + entry.uncompressedSize;
  return total;
}

std::string unzipPattern(const std::string& name) {
  std::string pattern;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\' || (c == '-' && i == 0))
      pattern += '\\';
    pattern += c;
  }
  return pattern;
}

bool unzipMatchesLiterally(const ZipEntry& entry) {
  std::string unicodePath;
  if (entry.name.empty() || entry.name.find('\0') != std::string::npos ||
      findExtra(entry.extra, 0x7075, &unicodePath))
    return false;
  int host = entry.versionMadeBy >> 8;
  bool oemHost = host == 0 || host == 6 || host == 11;  // MS-DOS, OS/2, NT
  return !oemHost || std::none_of(entry.name.begin(), entry.name.end(),
                                  [](char c) { return static_cast<unsigned char>(c) > 0x7f; });
}
