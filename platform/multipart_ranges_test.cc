#include "platform/multipart_ranges.h"

#include <gtest/gtest.h>

namespace {

const std::vector<ByteRange> kAsked = {{10, 4}, {100, 3}, {200, 5}};

// A part as nginx writes it: boundary line, Content-Type, Content-Range, data.
std::string part(int64_t first, int64_t last, const std::string& data, const std::string& boundary = "B7",
                 const std::string& total = "1000") {
  return "\r\n--" + boundary + "\r\nContent-Type: application/zip\r\nContent-Range: bytes " +
         std::to_string(first) + "-" + std::to_string(last) + "/" + total + "\r\n\r\n" + data;
}

struct Outcome {
  bool fed, complete;
  std::string placed;  // "start:data;" for each part, as written
  std::vector<size_t> ended;
};

// Feeds |body| whole, or a byte at a time: both must come out the same.
Outcome read(const std::string& body, size_t piece) {
  Outcome out{true, false, "", {}};
  MultipartRanges::Sink sink;
  sink.begins = [&](size_t i) { return out.placed += std::to_string(kAsked[i].start) + ":", true; };
  sink.data = [&](const char* d, size_t n) { return out.placed.append(d, n), true; };
  sink.ends = [&](size_t i) { out.placed += ";", out.ended.push_back(i); };
  MultipartRanges parts("B7", kAsked, 1000, sink);
  for (size_t at = 0; at < body.size() && out.fed; at += piece)
    out.fed = parts.feed(body.data() + at, std::min(piece, body.size() - at));
  out.complete = parts.complete();
  EXPECT_EQ(out.fed, parts.why().empty()) << parts.why();
  return out;
}

}  // namespace

// Each row: a body, whether it reads as the parts asked for (complete),
// and how many parts were counted whole before it stopped. Only a part
// followed by its boundary counts, so a part cut short or run long is never
// taken as written.
TEST(MultipartRanges, TakesOnlyThePartsAskedForInOrder) {
  const std::string a = part(10, 13, "aaaa"), b = part(100, 102, "bbb"), c = part(200, 204, "ccccc");
  const std::string close = "\r\n--B7--\r\n";
  const struct { const char* name; std::string body; bool fed, complete; size_t ended; } cases[] = {
      {"as nginx sends it", a + b + c + close, true, true, 3},
      {"no line end before the first boundary", a.substr(2) + b + c + close, true, true, 3},
      {"text after a part's data", a + "  " + b + c + close, false, false, 0},
      {"padding after a boundary", "\r\n--B7  \r\nContent-Range: bytes 10-13/1000\r\n\r\naaaa" + b + c + close, true, true, 3},
      {"truncated", a + b + c.substr(0, c.size() - 2), true, false, 2},
      {"wrong boundary", part(10, 13, "aaaa", "X9") + b + c + close, false, false, 0},
      {"a part not asked for", a + part(150, 152, "xxx") + c + close, false, false, 1},
      {"out of order", a + c + b + close, false, false, 1},
      {"overlapping", a + part(12, 14, "aax") + c + close, false, false, 1},
      {"a part longer than asked", a + part(100, 103, "bbbb") + c + close, false, false, 1},
      {"a part that starts early", a + part(99, 102, "xbbb") + c + close, false, false, 1},
      {"data longer than its range", a + part(100, 102, "bbbX") + c + close, false, false, 1},
      {"data shorter than its range", a + part(100, 102, "bb") + c + close, false, false, 1},
      {"another file's length", a + part(100, 102, "bbb", "B7", "999") + c + close, false, false, 1},
      {"only the first", a + close, false, false, 1},
      {"no Content-Range", "\r\n--B7\r\nContent-Type: x\r\n\r\naaaa" + close, false, false, 0},
      {"a head without end", "\r\n--B7\r\n" + std::string(3000, 'h'), false, false, 0},
      {"an endless epilogue", a + b + c + close + std::string(3000, 'e'), false, false, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome whole = read(c.body, c.body.size()), bytewise = read(c.body, 1);
    EXPECT_EQ(std::make_tuple(whole.fed, whole.complete, whole.ended.size()),
              std::make_tuple(c.fed, c.complete, c.ended));
    EXPECT_EQ(std::tie(whole.fed, whole.complete, whole.placed, whole.ended),
              std::tie(bytewise.fed, bytewise.complete, bytewise.placed, bytewise.ended));
  }
  EXPECT_EQ(read(a + b + c + close, 5).placed, "10:aaaa;100:bbb;200:ccccc;");
  // A part whose head names another range gets none of its bytes placed.
  EXPECT_EQ(read(a + part(99, 102, "xbbb") + c + close, 1).placed, "10:aaaa;");
  // The boundary of byteranges alone, quoted or not, of at most 70 characters.
  EXPECT_EQ(byterangesBoundary("multipart/byteranges; boundary=0001") + "|" +
                byterangesBoundary("Multipart/ByteRanges;charset=x; BOUNDARY=\"a b\"") + "|" +
                byterangesBoundary("multipart/mixed; boundary=x") + byterangesBoundary("text/plain") +
                byterangesBoundary("multipart/byteranges; boundary=" + std::string(71, 'x')),
            "0001|a b|");
}
