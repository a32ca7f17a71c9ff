#include "util/quote.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "tests/test_util.h"

namespace {

const std::vector<std::string> kHostile = {
    "plain",        "two words",      "tab\there",  "it's",         "say \"hi\"",
    "$HOME",        "$(touch CANARY)", "`touch CANARY`", "a;touch CANARY", "a&&b|c",
    "line\nbreak",  "back\\slash",    "*",          "~",            "-n",
    "'",            "''",             "\"",         "!x",           "#hash",
    "\xc3\xa9t\xc3\xa9", "trailing\\", "{a,b}", "a=b c", ""};

}  // namespace

// The shell must read every quoted text back byte for byte and run nothing.
TEST(SmartQuote, ShellReadsEveryTextBackUnchanged) {
  ScratchDir scratch;
  std::string canary = scratch / "CANARY";
  std::vector<const char*> argv = {"setup"};
  for (const std::string& text : kHostile) argv.push_back(text.c_str());
  std::string cd = "cd " + smart_quote(scratch.path()) + " && ";
  std::string line = argv2cmdline(argv.size(), argv.data());
  std::string out = scratch / "words";
  ASSERT_EQ(system((cd + "printf '%s\\0' " + line + "> words").c_str()), 0);
  EXPECT_EQ(readRecords(out), kHostile);
  EXPECT_FALSE(pathExists(canary));
}
