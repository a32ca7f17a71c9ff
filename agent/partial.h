#ifndef SETUP_AGENT_PARTIAL_H_
#define SETUP_AGENT_PARTIAL_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A strong ETag: quoted, without the weak "W/" prefix. Only such an ETag
// vouches that the bytes of two responses belong to one file.
bool isStrongEtag(const std::string& etag);

// The first bytes of an archive whose download broke off, kept in the
// private cache so that a later run can ask for the rest: the bytes in
// ".part", and in ".part.info" the URL, the strong ETag and the total
// length they belong to, and when the download began. The info is written
// only while the data is a prefix of that archive (before the first byte of
// a new response it is removed), so a run killed at any instant leaves
// either no info or a consistent part. At most one part exists; a run
// holds it locked while it downloads into it.
class KeptPart {
 public:
  static constexpr int64_t kMaxAgeSeconds = 7 * 24 * 3600;

  // Takes the part of |cacheDir| (which ends in "/"), unless another run
  // holds it.
  explicit KeptPart(const std::string& cacheDir);
  ~KeptPart();
  KeptPart(const KeptPart&) = delete;
  KeptPart& operator=(const KeptPart&) = delete;

  // Whether this run holds the part and may download into path().
  bool locked() const { return lock_ >= 0; }
  std::string path() const { return data_; }

  // How many bytes of the archive at |url| are kept, with the ETag and
  // total length they belong to. A part for another URL, without a strong
  // ETag, older than kMaxAgeSeconds or longer than its total is removed,
  // and 0 returned. 0, the data kept, while the part is being rebuilt by
  // ranges of the archive at |url| (see rangesFor).
  // With |ranges|: also the bytes kept after the first ones, out of order
  // (see describe), each inside the data and the total. 0 with the ETag and
  // total where only such ranges are kept.
  int64_t keptFor(const std::string& url, std::string* etag, int64_t* total,
                  std::vector<std::pair<int64_t, int64_t>>* ranges = nullptr);

  // The data is about to be replaced by a new response: its info goes.
  void forget();
  // The data now begins the archive of |url| with |etag| and |total| bytes:
  // all of it, or (|prefix| >= 0) its first |prefix| bytes, when bytes
  // after those were written out of order (the archive's end); of those,
  // the (start, length) |ranges| are the archive's too, kept for the next
  // run (parts of it fetched over several connections).
  void describe(const std::string& url, const std::string& etag, int64_t total,
                int64_t prefix = -1, const std::vector<std::pair<int64_t, int64_t>>& ranges = {});
  // Empties the data and removes its info and its ranges.
  void discard();

  // A rebuild by ranges: the data is being made into the archive of |url|
  // with |etag| and |total| bytes, range by range and out of order, in
  // ".part.ranges" (its first lines name the archive, then one "start
  // length" line per range written whole). A run killed meanwhile leaves
  // the ranges it finished for the next. Once the rebuild is whole,
  // describe() replaces the record: the data is then the whole archive.
  void beginRanges(const std::string& url, const std::string& etag, int64_t total);
  void rangeWritten(int64_t start, int64_t length);
  // The ranges written of that archive; none (the record removed) when the
  // record is for another archive or too old.
  std::vector<std::pair<int64_t, int64_t>> rangesFor(const std::string& url,
                                                     const std::string& etag, int64_t total);

 private:
  // Whether the part's name still names the file this run locked.
  bool holdsPath() const;

  std::string data_, info_, ranges_;
  int lock_ = -1;
};

#endif  // SETUP_AGENT_PARTIAL_H_
