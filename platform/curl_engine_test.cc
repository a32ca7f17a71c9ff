#include "platform/curl_engine.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// What a server's Link headers may name as duplicates: https only, plain
// URLs of a bounded length, by "pri", each once, a bounded count.
TEST(CurlEngine, DuplicateLinks) {
  using S = std::vector<std::string>;
  const struct { S values, urls; } rows[] = {
      {{"<https://m1/x>; rel=duplicate; pri=2, <https://m2/x>; rel=\"duplicate\"; pri=1"},
       {"https://m2/x", "https://m1/x"}},
      {{"<https://m/x>; title=\"a, <https://q/x>; rel=duplicate\"; rel=\"describedby duplicate\""},
       {"https://m/x"}},
      {{"<http://m/x>; rel=duplicate", "<https://m/x>; rel=describedby", "<https://m/x y>; rel=duplicate",
        "<https://" + std::string(3000, 'm') + ">; rel=duplicate", "<https://m/x; rel=duplicate"}, {}},
      {{"<https://m/x>; rel=duplicate", "<https://m/x>; rel=DUPLICATE"}, {"https://m/x"}}};
  for (const auto& row : rows) EXPECT_EQ(duplicateLinks(row.values), row.urls) << row.values[0];
  S many;
  for (int i = 0; i < 20; ++i) many.push_back("<https://m" + std::to_string(i) + "/x>; rel=duplicate");
  EXPECT_EQ(duplicateLinks(many).size(), kMaxDuplicateLinks);
}

// A loopback connection holding bytes the program has not read: the bytes
// its server may send are those and the window offered past them. A window
// is narrowed by what is unread, never below a few KiB, and widened only
// when asked, to the buffer.
TEST(CurlEngine, ReceiveWindowIsReadNarrowedAndWidened) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t size = sizeof(address);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size) | listen(listener, 1) |
                getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) |
                connect(client, reinterpret_cast<sockaddr*>(&address), size), 0);
  int server = accept(listener, nullptr, nullptr), unread = 0;
  auto clamp = [client, value = 0, length = socklen_t(sizeof(int))]() mutable {
    getsockopt(client, IPPROTO_TCP, TCP_WINDOW_CLAMP, &value, &length);
    return value;
  };
  const std::string sent(100000, 'x');
  ASSERT_EQ(write(server, sent.data(), sent.size()), ssize_t(sent.size()));
  for (int i = 0; i < 200 && unread < int(sent.size()); ++i) ioctl(client, FIONREAD, &unread), usleep(5000);
  LinkSample sample;
  ASSERT_TRUE(readLinkSample(client, &sample));
  if (sample.windowAhead < 0) GTEST_SKIP() << "this kernel does not tell its receive window (Linux 6.2 does)";
  EXPECT_GT(sample.windowAhead, int64_t(sent.size()) + 1000);
  for (auto [bytes, widen, narrowed] : {std::tuple{unread + 20000, false, 20000}, {1 << 20, false, 20000},
                                        {0, false, 4096}, {unread + 30000, true, 30000}})
    EXPECT_EQ((narrowReceiveWindow(client, bytes, widen), clamp()), narrowed) << bytes;
  widenReceiveWindow(client);
  EXPECT_GT(clamp(), int(sent.size()));
  for (int fd : {listener, client, server}) close(fd);
}

// Record ends are trusted after a few pieces of one size (the first holds
// the headers' rest), and a cut moves to the nearest one within its bounds.
TEST(CurlEngine, RecordEndsArePredictedFromEvenPieces) {
  RecordEnds records;
  int64_t at = 0;
  for (int64_t length : {16104, 16384, 16384, 16384}) records.saw(at += length, length);
  EXPECT_FALSE(records.endsAt(at + 16384));  // three even pieces are not yet enough
  records.saw(at += 16384, 16384);
  EXPECT_TRUE(records.endsAt(at + 3 * 16384) && !records.endsAt(at + 100));
  EXPECT_EQ(records.nearest(at + 40000, at, at + (1 << 20)), at + 2 * 16384);
  EXPECT_EQ(records.nearest(at + 100, at + 50000, at + (1 << 20)), at + 100);  // none inside
  records.saw(at += 1000, 1000);  // an uneven piece: no longer trusted
  EXPECT_FALSE(records.endsAt(at + 16384));
}
