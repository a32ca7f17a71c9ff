#include "platform/curl_engine.h"

#include <gtest/gtest.h>

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
