#ifndef SETUP_AGENT_ZIP_DIRECTORY_H_
#define SETUP_AGENT_ZIP_DIRECTORY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An archive's table of contents (its central directory), read here rather
// than through a zip library: the unpacker needs what libraries hide, each
// entry's raw name, extra fields and byte span in the file. The bytes come
// from the network, so every count, length and offset is checked against
// the file's length and the limits below before it is used; anything that
// fails a check is refused with a one-line error, and the caller can still
// unpack such an archive with one plain unzip.

// Limits. No install agent comes near them; beyond them an archive is
// refused rather than trusted with memory or time.
constexpr int64_t kZipMaxEntries = 1000000;
// unzip truncates longer names (its name buffer holds 4095 bytes and a NUL),
// so a longer name could not be unpacked by its own name.
constexpr size_t kZipMaxNameLength = 4095;
constexpr int64_t kZipMaxDirectorySize = 256 << 20;

// The suffix to ask for first. Any archive's end records lie in its last
// 65,633 bytes (a 22-byte end record behind a comment of at most 65,535
// bytes, with the 20-byte zip64 locator and 56-byte zip64 record before it),
// so this suffix always finds them; the rest holds the central directory of
// an archive of up to about 1,800 entries (some 110 bytes each) behind the
// longest comment, 2,400 without one, so one request is usually all it
// takes, for a few hundred milliseconds more on a slow line at worst.
constexpr int64_t kZipSuggestedTail = 256 * 1024;

// Where an archive's central directory is, from its end records.
struct ZipDirectoryLocation {
  int64_t directoryOffset = 0;  // its position in the file
  int64_t directorySize = 0;
  int64_t entryCount = 0;
  // Added to every offset the archive states: data was put in front of the
  // archive without its offsets being adjusted (0 for a well-formed one).
  int64_t offsetShift = 0;
  bool zip64 = false;   // found through a zip64 end record
  std::string comment;  // the archive's comment, raw bytes
  // The suffix length that holds the whole directory and the end records
  // (when the end record was found), or that is needed to go on.
  int64_t needTail = 0;
};

// One entry of the central directory. Sizes and the offset are those of the
// zip64 extra field where the header defers to it.
struct ZipEntry {
  std::string name;  // raw bytes as stored
  uint16_t versionMadeBy = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dosTime = 0;
  uint16_t dosDate = 0;
  uint32_t crc32 = 0;
  int64_t compressedSize = 0;
  int64_t uncompressedSize = 0;
  uint16_t internalAttributes = 0;
  uint32_t externalAttributes = 0;
  std::string extra;    // the central extra field, raw
  std::string comment;  // raw
  bool encrypted = false;  // flag bit 0: unpacking needs a password
  // The entry's bytes in the file, [localHeaderOffset, spanEnd): local
  // header, name, local extra field, data and data descriptor. Offsets are
  // positions in the file (offsetShift applied).
  int64_t localHeaderOffset = 0;
  int64_t spanEnd = 0;

  bool isDirectory() const { return !name.empty() && name.back() == '/'; }
};

struct ZipDirectory {
  std::vector<ZipEntry> entries;  // in directory order
  // Bytes before the first local header (or before the directory of an
  // empty archive): a stub put in front of the archive.
  int64_t prependedBytes = 0;
};

// The little-endian number of |width| bytes at |at| of a zip structure; the
// caller has checked that they lie inside |bytes|.
inline uint64_t littleEndian(const std::string& bytes, int64_t at, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Finds the end records in |tail|, the last tail.size() bytes of a file of
// |fileSize| bytes, and from them the central directory. True when |tail|
// holds the whole directory. False with an empty |error| when it is too
// short: where->needTail is then the suffix length to ask for (beyond a
// first suffix of kZipSuggestedTail, once for the directory, or in rare
// layouts twice). False with |error| set for a file that is no archive this
// reader accepts: the end record (the last signature in the file with room
// for one, the one unzip takes) must have its comment run to the last byte,
// the directory must end where the end records begin, and multi-disk
// archives are refused.
bool findCentralDirectory(const std::string& tail, int64_t fileSize, ZipDirectoryLocation* where,
                          std::string* error);

// Reads the entries of the directory |where| locates from |tail| (a suffix
// of the file at least where.needTail long). Each entry's span runs from
// its local header to the next entry's local header, or to the directory:
// the spans tile the file from prependedBytes to the directory, and each
// must have room for a local header, the name and the compressed data.
// Refused with |error|: a count or length that disagrees with the
// directory's size, a name that is empty or longer than kZipMaxNameLength,
// a size or offset that needs a zip64 field the entry lacks, an entry on
// another disk, an entry outside the file or sharing another's offset, a
// stored entry whose two sizes differ, a deflated one claiming more than
// deflate can expand to. Encrypted entries are accepted (see encrypted).
bool readCentralDirectory(const std::string& tail, const ZipDirectoryLocation& where,
                          int64_t fileSize, ZipDirectory* directory, std::string* error);

// What a look for the central directory in a file's last bytes found.
enum class DirectorySearch {
  kFound,     // the directory, read and checked
  kNeedMore,  // the end records, but not all of the directory: ask for more
  kRefused,   // no archive this reader accepts (with the error)
};

// The one routine both roads use to find an archive's directory from its
// end: |tail| is the last tail.size() bytes of a file of |fileSize|.
// kNeedMore sets |needTail| to the suffix length to read next (at most
// twice beyond a first suffix of kZipSuggestedTail).
DirectorySearch searchCentralDirectory(const std::string& tail, int64_t fileSize,
                                       ZipDirectory* directory, int64_t* needTail,
                                       std::string* error);

// The sum of the entries' uncompressed sizes, at most INT64_MAX.
int64_t totalUnpackedSize(const std::vector<ZipEntry>& entries);

// The argument that makes unzip select the member |name| and nothing else:
// unzip's wildcards (* ? [ ]) and its escape character (\) are escaped with
// a backslash, and so is a leading "-", which unzip would read as an option
// (-x, -d). Only for names unzipMatchesLiterally accepts.
std::string unzipPattern(const std::string& name);

// Whether unzip matches |entry| by its raw name, so that unzipPattern can
// select it. Not so for an empty name or one holding a NUL byte (no
// argument can carry it), for an entry with a Unicode path extra field
// (0x7075: unzip matches the name stored there instead), and for a name
// with bytes above 0x7f made on MS-DOS, OS/2 or NT (unzip converts such
// names from the OEM code page before matching). Those the caller unpacks
// by other means, such as one unzip of the whole archive.
bool unzipMatchesLiterally(const ZipEntry& entry);

#endif  // SETUP_AGENT_ZIP_DIRECTORY_H_
