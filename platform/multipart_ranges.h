#ifndef SETUP_PLATFORM_MULTIPART_RANGES_H_
#define SETUP_PLATFORM_MULTIPART_RANGES_H_

// The answer to a request for many ranges at once over HTTP/1.1
// ("Range: bytes=a-b,c-d"): a multipart/byteranges body, read as it comes.
// The body comes from the network, so it is held to exactly what was asked:
// every part in the order asked, each with a Content-Range of the one
// accepted form (parseContentRange) naming exactly its range of a file of
// the expected length, the boundary where it belongs, and bounded text
// between the parts. Anything else ends the reading; the caller then asks
// for the ranges not yet read one by one.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/range_fetch.h"

// The boundary of a "multipart/byteranges; boundary=..." Content-Type (the
// parameter may be quoted), else empty: another type, or a boundary that is
// empty or longer than the 70 characters a boundary may have.
std::string byterangesBoundary(const std::string& contentType);

class MultipartRanges {
 public:
  // Where each part's bytes go, from the parser's own calls: |begins| before
  // the first byte of part |index| of |asked| (false stops the reading),
  // |data| with its bytes (false: they could not be written), |ends| once
  // the boundary after its last byte has come, so that a part is counted
  // whole only when nothing more of it can follow.
  struct Sink {
    std::function<bool(size_t index)> begins;
    std::function<bool(const char* data, size_t length)> data;
    std::function<void(size_t index)> ends;
  };

  // |total|: the length of the file the ranges belong to (-1: not checked).
  MultipartRanges(std::string boundary, std::vector<ByteRange> asked, int64_t total, Sink sink);

  // Reads the next bytes of the body; false once it is not the parts asked
  // for, with why(). A part whose data the sink refused leaves why() empty.
  bool feed(const char* data, size_t length);
  // The closing boundary came after every part asked for.
  bool complete() const { return state_ == State::kDone && !failed_; }
  const std::string& why() const { return why_; }

 private:
  enum class State { kOpening, kDelimiter, kAfterDelimiter, kHeaders, kData, kDone };
  bool step();
  bool startPart();
  bool fail(const std::string& why);

  std::string delimiter_;  // "--" + boundary
  std::vector<ByteRange> asked_;
  int64_t total_;
  Sink sink_;
  State state_ = State::kOpening;
  std::string text_;  // what came since the last part's data, bounded
  size_t next_ = 0;   // the part expected next
  int64_t left_ = 0;  // bytes of the current part's data still to come
  size_t after_ = 0;  // bytes after the closing boundary
  bool failed_ = false;
  std::string why_;
};

#endif  // SETUP_PLATFORM_MULTIPART_RANGES_H_
