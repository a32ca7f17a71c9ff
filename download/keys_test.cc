#include "download/keys.h"

#include <gtest/gtest.h>

#include <optional>

#include "tests/test_util.h"

using Strings = std::vector<std::string>;

// Each row: the keys built in, the bundle's key file (none: absent), and
// the keys that count, or the error. The file adds keys; it never takes a
// built-in one away, and an empty one does not turn checking off (nor does
// one without a key: SignedAgents.OnlyAnArchiveSignedByAKeyInTheBundleRuns,
// which with no key built in also runs the file's keys alone; every other
// integration test runs with none at all).
TEST(Keys, BuiltInKeysStayWhateverTheBundleHolds) {
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "minisign is not installed";
  ScratchDir dir; makeMinisignKeys(dir.path(), {"a", "b"});
  const std::string a = readFile(dir / "a.pub"), b = readFile(dir / "b.pub");
  // The id as minisign writes it, at the end of the comment line; it drops
  // leading zeros, so it can be shorter than 16 digits.
  std::string idA = a.substr(0, a.find('\n')), idB = b.substr(0, b.find('\n'));
  idA.erase(0, idA.rfind(' ') + 1), idB.erase(0, idB.rfind(' ') + 1);
  const struct { std::string name, builtIn; std::optional<std::string> file; Strings keys;
                 std::string error; } cases[] = {
      {"built-in-only", a, std::nullopt, {idA}, ""}, {"file-adds", a, b, {idA, idB}, ""},
      {"file-repeats", a, a + b, {idA, idB}, ""}, {"empty-file", a, "", {}, "InstallAgent.pub"},
      {"built-in-twice", a + a, std::nullopt, {},
       "The keys built into the program: the key at line 3"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name); ScratchDir res;
    if (c.file) writeFile(res / "InstallAgent.pub", *c.file);
    std::vector<PublicKey> keys; std::string error;
    bool ok = mergeKeys(c.builtIn, res.path(), &keys, &error); Strings ids;
    for (const PublicKey& key : keys) ids.push_back(keyIdHex(key.id));
    EXPECT_EQ(std::make_tuple(ok, ids, error.find(c.error) != std::string::npos),
              std::make_tuple(c.error.empty(), c.keys, true)) << error;
  }
}
