#include "util/quote.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "tests/test_util.h"

namespace {

// What /bin/sh makes of |line| when it prints each word it receives,
// NUL-terminated.
std::vector<std::string> shellWords(const std::string& line, const std::string& scratch) {
  std::string out = scratch + "/words";
  std::string command = "printf '%s\\0' " + line + " > " + smart_quote(out);
  EXPECT_EQ(system(command.c_str()), 0) << command;
  return readRecords(out);
}

const std::vector<std::string> kHostile = {
    "plain",        "two words",      "tab\there",  "it's",         "say \"hi\"",
    "$HOME",        "$(touch CANARY)", "`touch CANARY`", "a;touch CANARY", "a&&b|c",
    "line\nbreak",  "back\\slash",    "*",          "~",            "-n",
    "'",            "''",             "\"",         "!x",           "#hash",
    "\xc3\xa9t\xc3\xa9", "trailing\\", "{a,b}", "a=b c"};

}  // namespace

TEST(SmartQuote, QuotesOnlyWhatTheShellWouldRead) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/local/A-Z_0.9@%+=:,", "/usr/local/A-Z_0.9@%+=:,"},
      {"", "''"},
      {"/Volumes/Setup Disk/agent.zip", "'/Volumes/Setup Disk/agent.zip'"},
      {"it's", "'it'\\''s'"},
  };
  for (const auto& [text, quoted] : cases) EXPECT_EQ(smart_quote(text), quoted) << text;
}

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

TEST(Argv2Cmdline, EachArgumentQuotedAndFollowedByABlank) {
  const char* argv[] = {"setup", "-a", "b c", "", "x"};
  EXPECT_EQ(argv2cmdline(5, argv), "-a 'b c' '' x ");
  EXPECT_EQ(argv2cmdline(1, argv), "");
  EXPECT_EQ(argv2cmdline(0, argv), "");
  EXPECT_EQ(argv2cmdline(-3, argv), "");
}

TEST(Argv2Cmdline, EmptyArgumentStillReachesTheCommand) {
  ScratchDir scratch;
  const char* argv[] = {"setup", "", "x"};
  EXPECT_EQ(shellWords(argv2cmdline(3, argv), scratch.path()),
            (std::vector<std::string>{"", "x"}));
}
