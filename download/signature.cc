#include "download/signature.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/sodium_library.h"
#include "util/base64.h"

namespace {

constexpr size_t kMaxLineBytes = 1024;  // minisign's own limit on comments
constexpr size_t kMaxKeyFileBytes = 64 * 1024;
constexpr size_t kDigestBytes = 64;
const char kUntrusted[] = "untrusted comment:";
const char kTrusted[] = "trusted comment: ";
const char kTimestamp[] = "timestamp:";

// A .minisig file taken apart.
struct ParsedSignature {
  std::string algorithm;  // "ED" (prehashed) or the legacy "Ed"
  std::array<uint8_t, 8> keyId;
  std::string signature;  // 64 bytes
  std::string trustedComment;
  std::string globalSignature;  // 64 bytes
};

bool fail(std::string* error, const std::string& reason) {
  if (error) *error = reason;
  return false;
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// Splits at "\n", dropping the "\r" of CRLF line ends.
std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
    start = end + 1;
  }
  return lines;
}

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Decodes a base64 line of exactly |length| bytes.
bool decodeLine(const std::string& line, size_t length, const char* what, std::string* out,
                std::string* error) {
  if (!decodeBase64(line, out)) return fail(error, std::string(what) + " is not valid base64");
  if (out->size() == length) return true;
  return fail(error, std::string(what) + " holds " + std::to_string(out->size()) + " bytes, not " +
                         std::to_string(length));
}

const PublicKey* findKey(const std::vector<PublicKey>& keys, const std::array<uint8_t, 8>& id) {
  for (const PublicKey& key : keys) {
    if (key.id == id) return &key;
  }
  return nullptr;
}

bool parseKey(const std::string& comment, const std::string& line, PublicKey* key,
              std::string* error) {
  if (!startsWith(comment, kUntrusted))
    return fail(error, "expected an \"untrusted comment:\" line");
  if (comment.size() > kMaxLineBytes || line.size() > kMaxLineBytes) {
    return fail(error, "line longer than " + std::to_string(kMaxLineBytes) + " bytes");
  }
  std::string raw;
  if (!decodeLine(line, 42, "the key line", &raw, error)) return false;
  if (raw.compare(0, 2, "Ed") != 0) return fail(error, "the key is not an Ed25519 (\"Ed\") key");
  memcpy(key->id.data(), raw.data() + 2, 8);
  memcpy(key->key.data(), raw.data() + 10, 32);
  return true;
}

bool isBlank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

// Parses the entry that starts at lines[*at], leaving *at on its last line.
bool parseKeyEntry(const std::vector<std::string>& lines, size_t* at, std::vector<PublicKey>* keys,
                   std::string* error) {
  std::string reason;
  PublicKey key;
  size_t first = (*at)++;
  bool ok = *at < lines.size() && !isBlank(lines[*at])
                ? parseKey(lines[first], lines[*at], &key, &reason)
                : fail(&reason, "no key line after the comment");
  if (ok && findKey(*keys, key.id))
    ok = fail(&reason, "key id " + keyIdHex(key.id) + " appears twice");
  if (!ok) return fail(error, "the key at line " + std::to_string(first + 1) + ": " + reason);
  keys->push_back(key);
  return true;
}

bool parseSignatureLine(const std::string& line, ParsedSignature* sig, std::string* error) {
  std::string raw;
  if (!decodeLine(line, 74, "the signature line", &raw, error)) return false;
  sig->algorithm = raw.substr(0, 2);
  memcpy(sig->keyId.data(), raw.data() + 2, 8);
  sig->signature = raw.substr(10);
  if (sig->algorithm == "ED") return true;
  if (sig->algorithm == "Ed") {
    return fail(error,
                "legacy (not prehashed) signature: re-sign the archive with minisign's "
                "default (prehashed) mode");
  }
  return fail(error, "the signature's algorithm is neither \"ED\" nor \"Ed\"");
}

// Drops trailing blank lines; the four lines of a signature must remain.
bool signatureLines(const std::string& text, std::vector<std::string>* lines, std::string* error) {
  if (text.size() > kMaxSignatureBytes) return fail(error, "signature file larger than 8 KiB");
  *lines = splitLines(text);
  while (!lines->empty() && isBlank(lines->back())) lines->pop_back();
  if (lines->size() != 4) {
    return fail(error, "signature file has " + std::to_string(lines->size()) + " lines, not 4");
  }
  if (!startsWith((*lines)[0], kUntrusted))
    return fail(error, "signature file lacks its untrusted comment");
  if ((*lines)[0].size() > kMaxLineBytes)
    return fail(error, "signature's untrusted comment is too long");
  if (!startsWith((*lines)[2], kTrusted))
    return fail(error, "signature file lacks its trusted comment");
  return true;
}

bool parseTimestamp(const std::string& comment, int64_t* seconds) {
  if (!startsWith(comment, kTimestamp)) return false;
  size_t at = strlen(kTimestamp);
  int64_t value = 0;
  for (; at < comment.size() && comment[at] >= '0' && comment[at] <= '9'; ++at) {
    int digit = comment[at] - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (at == strlen(kTimestamp) ||
      (at < comment.size() && comment[at] != '\t' && comment[at] != ' ')) {
    return false;
  }
  *seconds = value;
  return true;
}

bool parseSignature(const std::string& text, ParsedSignature* sig, std::string* error) {
  std::vector<std::string> lines;
  if (!signatureLines(text, &lines, error)) return false;
  if (!parseSignatureLine(lines[1], sig, error)) return false;
  sig->trustedComment = lines[2].substr(strlen(kTrusted));
  return decodeLine(lines[3], 64, "the global signature line", &sig->globalSignature, error);
}

// Parses |text| and checks that one of |keys| signed its trusted comment.
bool authenticate(const SodiumLibrary* sodium, const std::string& text,
                  const std::vector<PublicKey>& keys, ParsedSignature* sig, const PublicKey** key,
                  std::string* error) {
  if (!sodium)
    return fail(error, std::string("cannot check signatures without ") + kSodiumLibraryName);
  if (!parseSignature(text, sig, error)) return false;
  *key = findKey(keys, sig->keyId);
  if (!*key) return fail(error, "unknown key id " + keyIdHex(sig->keyId) + ": not a trusted key");
  // A key that is no curve point was damaged on its way into the bundle:
  // no signature could ever check with it, and the fault is not the download's.
  if (sodium->crypto_core_ed25519_is_valid_point((*key)->key.data()) != 1)
    return fail(error, "the bundle's key file is damaged: key " + keyIdHex(sig->keyId) +
                           " is not a valid Ed25519 public key");
  std::string signedText = sig->signature + sig->trustedComment;
  if (sodium->crypto_sign_verify_detached(bytes(sig->globalSignature), bytes(signedText),
                                          signedText.size(), (*key)->key.data()) == 0) {
    return true;
  }
  return fail(error, "bad global signature: the trusted comment is not the one signed");
}

void describe(const ParsedSignature& sig, SignatureInfo* info) {
  if (!info) return;
  info->keyId = keyIdHex(sig.keyId);
  info->trustedComment = sig.trustedComment;
  info->hasTimestamp = parseTimestamp(sig.trustedComment, &info->timestamp);
}

}  // namespace

std::string keyIdHex(const std::array<uint8_t, 8>& id) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (size_t i = id.size(); i-- > 0;) hex += {kDigits[id[i] >> 4], kDigits[id[i] & 15]};
  return hex.substr(std::min(hex.find_first_not_of('0'), hex.size() - 1));
}

bool parsePublicKeys(const std::string& text, std::vector<PublicKey>* keys, std::string* error) {
  std::vector<std::string> lines = splitLines(text);
  std::vector<PublicKey> found;
  for (size_t at = 0; at < lines.size(); ++at) {
    if (!isBlank(lines[at]) && !parseKeyEntry(lines, &at, &found, error)) return false;
  }
  if (found.empty()) return fail(error, "no minisign public key in it");
  *keys = found;
  return true;
}

bool loadPublicKeys(const std::string& path, std::vector<PublicKey>* keys, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(error, path + ": " + strerror(errno));
  std::string text(kMaxKeyFileBytes + 1, '\0');
  ssize_t length = 0;
  for (ssize_t n; length < static_cast<ssize_t>(text.size()) &&
                  (n = read(fd, &text[length], text.size() - length)) > 0;) {
    length += n;
  }
  close(fd);
  text.resize(length);
  if (length > static_cast<ssize_t>(kMaxKeyFileBytes))
    return fail(error, path + ": larger than 64 KiB");
  if (parsePublicKeys(text, keys, error)) return true;
  return fail(error, path + ": " + *error);
}

struct ArchiveVerifier::State {
  crypto_generichash_state hash;
  bool finished = false;
  uint8_t digest[kDigestBytes];
};

ArchiveVerifier::ArchiveVerifier() : sodium_(sodiumLibrary()) {
  if (!sodium_) return;
  state_ = std::make_unique<State>();
  sodium_->crypto_generichash_init(&state_->hash, nullptr, 0, kDigestBytes);
}

ArchiveVerifier::~ArchiveVerifier() = default;

void ArchiveVerifier::update(const void* data, size_t length) {
  if (!state_ || state_->finished) return;
  sodium_->crypto_generichash_update(&state_->hash, static_cast<const uint8_t*>(data), length);
}

bool ArchiveVerifier::verify(const std::string& signatureText, const std::vector<PublicKey>& keys,
                             SignatureInfo* info, std::string* error) {
  ParsedSignature sig;
  const PublicKey* key = nullptr;
  if (!authenticate(sodium_, signatureText, keys, &sig, &key, error)) return false;
  if (!state_->finished) {
    sodium_->crypto_generichash_final(&state_->hash, state_->digest, kDigestBytes);
    state_->finished = true;
  }
  if (sodium_->crypto_sign_verify_detached(bytes(sig.signature), state_->digest, kDigestBytes,
                                           key->key.data()) != 0) {
    return fail(error, "bad signature: the archive is not the one signed");
  }
  describe(sig, info);
  return true;
}

bool checkStoredSignature(const std::string& signatureText, const std::vector<PublicKey>& keys,
                          SignatureInfo* info, std::string* error) {
  ParsedSignature sig;
  const PublicKey* key = nullptr;
  if (!authenticate(sodiumLibrary(), signatureText, keys, &sig, &key, error)) return false;
  describe(sig, info);
  return true;
}

bool isRollback(const SignatureInfo& fresh, const std::string& cachedSignatureText,
                int64_t cachedAt, std::string* reason) {
  ParsedSignature cached;
  int64_t cachedTime = 0;
  if (!parseSignature(cachedSignatureText, &cached, nullptr) ||
      !parseTimestamp(cached.trustedComment, &cachedTime)) {
    return false;
  }
  if (cachedAt > 0 && cachedAt < INT64_MAX - kSignatureFutureSlackSeconds &&
      cachedTime > cachedAt + kSignatureFutureSlackSeconds)
    cachedTime = cachedAt;
  if (!fresh.hasTimestamp) {
    return !fail(reason, "the new agent's signature has no timestamp, the cached agent's has");
  }
  if (fresh.timestamp >= cachedTime) return false;
  return !fail(reason, "the new agent's signature (timestamp " + std::to_string(fresh.timestamp) +
                           ") is older than the cached agent's (" + std::to_string(cachedTime) +
                           "); to install an older release on purpose, remove the cache " +
                           "directory first");
}
