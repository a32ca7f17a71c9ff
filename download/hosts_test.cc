#include "download/hosts.h"

#include <gtest/gtest.h>

// Without keys only the main URL; with them, https mirrors once each, up to
// the bound. A walk through the hosts: a dropped host is never come back
// to, not even by Try Again, and the last one left is not moved past.
TEST(Hosts, WhichHostNext) {
  const std::string a = "https://a/x", b = "https://b/x", c = "https://c/x";
  Hosts keyless(a, {b, c}, false);
  Hosts hosts(a, {b, "http://plain/x", a, "https://sp ace/x", c}, true);
  EXPECT_EQ(std::make_tuple(keyless.size(), keyless.add({b}), keyless.hasNext(), hosts.size()),
            std::make_tuple(size_t(1), size_t(0), false, size_t(3)));
  std::string walk = hosts.current();
  for (bool (Hosts::*step)() : {&Hosts::next, &Hosts::drop, &Hosts::next, &Hosts::restart, &Hosts::next}) {
    walk += (hosts.*step)() ? " " : " stay:";
    walk += hosts.current().substr(8, 1);
  }
  EXPECT_EQ(std::make_pair(walk, hosts.hasNext()), std::make_pair(a + " b c stay:c a c", false));
  for (int i = 0; i < 20; ++i) hosts.add({"https://m" + std::to_string(i) + "/x"});
  EXPECT_EQ(hosts.size(), Hosts::kMaxHosts);
  EXPECT_EQ(std::make_pair(Hosts::handsOver(FetchFailure::kLocalWrite),
                           Hosts::handsOver(FetchFailure::kCannotReach)), std::make_pair(false, true));
}
