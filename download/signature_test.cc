#include "download/signature.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "tests/test_util.h"

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string join(const std::vector<std::string>& parts, const char* end = "\n") {
  std::string text;
  for (const std::string& part : parts) text += part + end;
  return text;
}

// Parsed, or the test fails.
std::vector<PublicKey> keys(const std::string& text) {
  std::vector<PublicKey> parsed; std::string error;
  EXPECT_TRUE(parsePublicKeys(text, &parsed, &error)) << error;
  return parsed;
}

// With keys "a" and "b" made by the real minisign and an archive signed with
// "a": every malformed key or signature file is refused with its reason. The
// archive, fed in uneven chunks, passes only whole (a chunk left out would
// fail it), and only with its own signature; that signature, cached, tells
// a rollback.
TEST(Signature, MalformedFilesEveryChunkOfTheArchiveAndRollback) {
  if (shell("command -v minisign") != 0) GTEST_SKIP() << "minisign is not installed";
  ScratchDir dir; makeMinisignKeys(dir.path(), {"a", "b"});
  std::map<std::string, std::string> pub;
  for (std::string name : {"a", "b"}) pub[name] = readFile(dir / name + ".pub");
  std::string archive(20000, '\0'); std::mt19937 random(11);
  for (char& c : archive) c = static_cast<char>(random());
  auto sign = [&](const std::string& content) {  // with key a
    writeFile(dir / "archive", content), signWithMinisign(dir / "a.sec", dir / "archive");
    return readFile(dir / "archive.minisig");
  };
  // Feeds the archive in uneven chunks, as a transfer delivers it.
  auto check = [&](const std::string& signature, const std::string& keyFile, std::string* error) {
    ArchiveVerifier verifier;
    for (size_t at = 0, step = 1; at < archive.size(); at += step, step = step * 3 + 1)
      verifier.update(archive.data() + at, std::min(step, archive.size() - at));
    return verifier.verify(signature, keys(keyFile), nullptr, error);
  };
  std::vector<std::string> a = lines(pub["a"]), s = lines(sign(archive));
  const std::string idA = a[0].substr(a[0].rfind(' ') + 1);  // minisign's own
  std::string key = a[1];
  auto with = [&](size_t index, const std::string& line) {
    std::vector<std::string> copy = s;
    return copy[index] = line, join(copy);
  };
  // Key bytes damaged in the bundle (here zeroed: a point of small order)
  // are the key file's fault, not the download's.
  const std::string b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string zeroed = key.substr(0, 13) + b64[b64.find(key[13]) & 0x30] + std::string(42, 'A');
  // Each row: a key file, else a signature checked with key a (or |keys|).
  const struct { bool isKey; std::string text, error, keys = ""; } cases[] = {
      {true, "\r\n\n  \n", "no minisign public key"}, {true, a[0] + "\n", "line 1: no key line"},
      {true, a[0] + "\n\n" + key, "no key line"}, {true, key + "\n" + key, "expected an"},
      {true, a[0] + "\n" + key.substr(0, 52), "holds 39 bytes, not 42"},
      {true, a[0] + "\n" + key.substr(1), "not valid base64"},
      {true, a[0] + "\nS" + key.substr(1), "not an Ed25519"},
      {true, a[0] + std::string(2000, 'x') + "\n" + key, "longer than 1024 bytes"},
      {true, join(a) + join(a), "line 3: key id " + idA + " appears twice"},
      {false, "", "has 0 lines, not 4"}, {false, with(0, "comment"), "lacks its untrusted"},
      {false, with(2, "x"), "lacks its trusted"}, {false, join(s) + "junk", "has 5 lines, not 4"},
      {false, with(1, s[1].substr(0, 96)), "signature line holds 72 bytes, not 74"},
      {false, with(1, s[1].substr(0, 98) + "B="), "not valid base64"},  // stray low bits
      {false, with(1, "S" + s[1].substr(1)), "neither \"ED\" nor \"Ed\""},
      {false, with(3, s[3].substr(0, 84)), "global signature line holds 63 bytes"},
      {false, with(0, s[0] + std::string(2000, 'x')), "untrusted comment is too long"},
      {false, with(2, s[2] + std::string(9000, 'x')), "larger than 8 KiB"},
      {false, join(s), "the bundle's key file is damaged: key " + idA, a[0] + "\n" + zeroed},
      {false, sign(archive + "x"), "bad signature"}};  // another archive's
  for (const auto& c : cases) {
    std::vector<PublicKey> parsed;
    std::string error;
    bool ok = c.isKey ? parsePublicKeys(c.text, &parsed, &error)
                      : check(c.text, c.keys.empty() ? pub["a"] : c.keys, &error);
    EXPECT_EQ(std::make_tuple(ok, parsed.size(), error.find(c.error) != std::string::npos),
              std::make_tuple(false, size_t(0), true)) << c.text << ": " << error;
  }
  EXPECT_EQ(keys("\r\n" + join(a, "\r\n") + "\r\n\r\n" + join(lines(pub["b"]), "\r\n")).size(), 2u);
  std::string error;
  EXPECT_TRUE(check(join(s, "\r\n") + "\r\n\n", pub["a"], &error)) << error;
  // A cached agent's signature, checked without its archive: by its key only.
  SignatureInfo info;
  bool stored = checkStoredSignature(join(s), keys(pub["a"]), &info, &error);
  EXPECT_EQ(std::make_pair(stored, info.keyId), std::make_pair(true, idA)) << error;
  EXPECT_FALSE(checkStoredSignature(join(s), keys(pub["b"]), &info, &error));
  EXPECT_NE(error.find("unknown key id " + idA), std::string::npos) << error;

  // A rollback, told by the fresh signature's timestamp and the cached one's.
  const int64_t slack = kSignatureFutureSlackSeconds;
  // The fresh timestamp (-1: none), the cached comment, when it was cached
  // by this machine's clock.
  const struct { int64_t fresh; std::string cachedComment; int64_t cachedAt; bool rollback; }
  rollbacks[] = {
      {999, "timestamp:1000\tfile:agent.zip\thashed", 2000, true}, {5, "release 7", 2000, false},
      {1000, "timestamp:1000\tfile:agent.zip", 2000, false}, {-1, "timestamp:1000", 2000, true},
      {-1, "timestamp:12x", 2000, false}, {5, "timestamp:99999999999999999999", 2000, false},
      {5, "", 2000, false},  // no cached signature
      // Signed more than the slack ahead of its caching: it counts as signed when cached.
      {1999 + slack, "timestamp:" + std::to_string(2000 + slack), 2000, true},  // just believed
      {2000, "timestamp:" + std::to_string(2001 + slack), 2000, false},         // just not
      // Unknown caching time (or a clock so far behind it reads before 1970): as signed.
      {999, "timestamp:900000000", 0, true}, {999, "timestamp:900000000", -5 * 24 * 3600, true}};
  for (const auto& c : rollbacks) {
    const SignatureInfo fresh{"", "", c.fresh >= 0, c.fresh};
    std::string reason, text = c.cachedComment.empty()
        ? "" : join({s[0], s[1], "trusted comment: " + c.cachedComment, s[3]});
    bool rollback = isRollback(fresh, text, c.cachedAt, &reason);  // with a reason, or without
    EXPECT_EQ(std::make_pair(rollback, reason.empty()), std::make_pair(c.rollback, !c.rollback));
  }
}

}  // namespace
