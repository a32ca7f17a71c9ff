#include "platform/multipart_ranges.h"

#include <strings.h>

#include <algorithm>

#include "platform/curl_engine.h"

namespace {

// Text between two parts' data: the boundary line and the part's header
// lines (nginx and Apache send about a hundred bytes). More is no answer
// to the ranges asked for.
const size_t kMaxText = 2048;
const size_t kMaxBoundary = 70;

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t"), last = text.find_last_not_of(" \t");
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

bool isPrefix(const std::string& text, const std::string& of) {
  return text.size() <= of.size() && of.compare(0, text.size(), text) == 0;
}

}  // namespace

std::string byterangesBoundary(const std::string& contentType) {
  size_t semicolon = contentType.find(';');
  if (strcasecmp(trimmed(contentType.substr(0, semicolon)).c_str(), "multipart/byteranges") != 0)
    return "";
  while (semicolon != std::string::npos) {
    size_t next = contentType.find(';', semicolon + 1);
    std::string parameter = trimmed(contentType.substr(semicolon + 1, next - semicolon - 1));
    semicolon = next;
    if (strncasecmp(parameter.c_str(), "boundary=", 9) != 0) continue;
    std::string value = parameter.substr(9);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    bool plain = value.find_first_of("\"\r\n") == std::string::npos;
    return plain && !value.empty() && value.size() <= kMaxBoundary ? value : "";
  }
  return "";
}

MultipartRanges::MultipartRanges(std::string boundary, std::vector<ByteRange> asked, int64_t total,
                                 Sink sink)
    : delimiter_("--" + boundary), asked_(std::move(asked)), total_(total), sink_(std::move(sink)) {}

bool MultipartRanges::fail(const std::string& why) {
  failed_ = true;
  why_ = why;
  return false;
}

bool MultipartRanges::feed(const char* data, size_t length) {
  while (length > 0 && !failed_) {
    if (state_ == State::kData) {
      size_t n = static_cast<size_t>(std::min<int64_t>(left_, length));
      if (!sink_.data(data, n)) return failed_ = true, false;
      data += n, length -= n, left_ -= n;
      if (left_ == 0) state_ = State::kDelimiter;
      continue;
    }
    if (state_ == State::kDone) {
      // The epilogue, which carries nothing (nginx sends a line end).
      after_ += length;
      return after_ <= kMaxText || fail("The server sent more after the last part.");
    }
    text_.push_back(*data++);
    --length;
    if (text_.size() > kMaxText) return fail("A part's head is too long.");
    if (!step()) return false;
  }
  return !failed_;
}

// Judges text_ after each byte: false on a fault.
bool MultipartRanges::step() {
  switch (state_) {
    case State::kOpening: {  // the first boundary, at the start or after a line end
      const std::string lineFirst = "\r\n" + delimiter_;
      if (text_ == delimiter_ || text_ == lineFirst) return state_ = State::kAfterDelimiter, text_.clear(), true;
      return isPrefix(text_, delimiter_) || isPrefix(text_, lineFirst) ||
             fail("The server's parts do not start with their boundary.");
    }
    case State::kDelimiter: {  // right after a part's last byte
      const std::string expected = "\r\n" + delimiter_;
      if (text_ == expected) {
        sink_.ends(next_ - 1);
        return state_ = State::kAfterDelimiter, text_.clear(), true;
      }
      return isPrefix(text_, expected) ||
             fail("A part of the server's answer is longer than its range, or its boundary is wrong.");
    }
    case State::kAfterDelimiter:  // "--" closes; else padding, then the line's end
      if (text_ == "--") {
        if (next_ != asked_.size())
          return fail("The server sent " + std::to_string(next_) + " of " +
                      std::to_string(asked_.size()) + " ranges.");
        return state_ = State::kDone, text_.clear(), true;
      }
      if (text_ == "-") return true;
      if (text_.size() >= 2 && text_.compare(text_.size() - 2, 2, "\r\n") == 0 &&
          text_.find_first_not_of(" \t") == text_.size() - 2)
        return state_ = State::kHeaders, text_.clear(), true;
      return text_.find_first_not_of(" \t\r") == std::string::npos ||
             fail("A boundary of the server's answer is followed by other text.");
    case State::kHeaders:
      if (text_.size() >= 2 && text_.compare(text_.size() - 2, 2, "\r\n") == 0 &&
          (text_.size() == 2 || text_.compare(text_.size() - 4, 4, "\r\n\r\n") == 0))
        return startPart();
      return true;
    case State::kData: case State::kDone: break;
  }
  return true;
}

// The part's header lines are in text_: exactly one Content-Range, for the
// next range asked for.
bool MultipartRanges::startPart() {
  std::string range;
  int ranges = 0;
  for (size_t at = 0, end; (end = text_.find("\r\n", at)) != std::string::npos; at = end + 2) {
    std::string line = text_.substr(at, end - at);
    if (strncasecmp(line.c_str(), "Content-Range:", 14) == 0) range = trimmed(line.substr(14)), ++ranges;
  }
  int64_t first = 0, last = 0, total = 0;
  if (ranges != 1 || !parseContentRange(range, &first, &last, &total))
    return fail("A part of the server's answer has no valid Content-Range.");
  if (next_ >= asked_.size() || first != asked_[next_].start ||
      last != asked_[next_].start + asked_[next_].length - 1 || (total_ >= 0 && total != total_))
    return fail("The server sent a part that was not asked for next (bytes " + range + ").");
  text_.clear();
  left_ = asked_[next_].length;
  state_ = State::kData;
  if (!sink_.begins(next_++)) return failed_ = true, false;
  return true;
}
