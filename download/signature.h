#ifndef SETUP_DOWNLOAD_SIGNATURE_H_
#define SETUP_DOWNLOAD_SIGNATURE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Detached minisign signatures (Ed25519 over the BLAKE2b-512 of the file,
// and a second signature over that signature and the trusted comment) of the
// install-agent archive, checked against the keys shipped with the bundle.
// Every failure comes with a one-line reason.

struct SodiumLibrary;

// The largest signature file accepted.
constexpr size_t kMaxSignatureBytes = 8192;

// One trusted minisign public key.
struct PublicKey {
  std::array<uint8_t, 8> id;
  std::array<uint8_t, 32> key;
};

// What a checked signature says.
struct SignatureInfo {
  std::string keyId;           // as minisign prints it: upper-case hex, no leading zeros
  std::string trustedComment;  // without its "trusted comment: " prefix
  bool hasTimestamp = false;   // the comment starts with "timestamp:<seconds>"
  int64_t timestamp = 0;
};

// A key id as minisign prints it: the little-endian number in upper-case
// hex, without leading zeros.
std::string keyIdHex(const std::array<uint8_t, 8>& id);

// Reads every key of a key file as `minisign -G` writes one (an "untrusted
// comment:" line, then the base64 key line), several in a row allowed, blank
// lines and CRLF line ends too. False, with the reason, when any entry is
// malformed or none is there; |keys| is then left alone.
bool parsePublicKeys(const std::string& text, std::vector<PublicKey>* keys, std::string* error);

// parsePublicKeys on the file at |path| (at most 64 KiB); the reason names it.
bool loadPublicKeys(const std::string& path, std::vector<PublicKey>* keys, std::string* error);

// Hashes an archive as its bytes arrive, then checks its signature. libsodium
// is loaded by the first verifier made; without it verify() fails.
class ArchiveVerifier {
 public:
  ArchiveVerifier();
  ~ArchiveVerifier();
  ArchiveVerifier(const ArchiveVerifier&) = delete;
  ArchiveVerifier& operator=(const ArchiveVerifier&) = delete;

  // Adds the archive's next |length| bytes; all of them come before verify().
  void update(const void* data, size_t length);
  // True when |signatureText| (a .minisig file's content) is a prehashed
  // signature of the bytes added, by one of |keys|, and its trusted comment
  // is signed too; fills |info|. Otherwise false with the reason.
  bool verify(const std::string& signatureText, const std::vector<PublicKey>& keys,
              SignatureInfo* info, std::string* error);

 private:
  struct State;
  const SodiumLibrary* sodium_;
  std::unique_ptr<State> state_;
};

// For a signature kept beside an agent that was verified when it was cached:
// true when it is well-formed, made by one of |keys|, and its trusted comment
// is signed by that key (the archive itself is gone). Fills |info|.
bool checkStoredSignature(const std::string& signatureText, const std::vector<PublicKey>& keys,
                          SignatureInfo* info, std::string* error);

// How far past the moment it was cached a cached signature's timestamp may
// lie and still be believed. A release signed with a vendor's clock years
// ahead would otherwise make every later, correctly signed release look
// older; a machine's own clock wrong by days stays well inside it.
constexpr int64_t kSignatureFutureSlackSeconds = 30 * 24 * 3600;

// True, with the reason, when the verified |fresh| signature is older than
// the cached agent's |cachedSignatureText|: its timestamp is earlier, or it
// has none while the cached one has. A cached timestamp more than
// kSignatureFutureSlackSeconds past |cachedAt| (when that agent was cached,
// by this machine's clock; 0 when unknown) is not believed: the cached
// agent then counts as signed when it was cached. Otherwise the check reads
// no clock, so a machine whose clock is wrong by days is judged as any
// other. No check (false) when the cached signature has no timestamp or
// cannot be read.
bool isRollback(const SignatureInfo& fresh, const std::string& cachedSignatureText,
                int64_t cachedAt, std::string* reason);

#endif  // SETUP_DOWNLOAD_SIGNATURE_H_
