#ifndef SETUP_DOWNLOAD_SIGNATURE_CHECK_H_
#define SETUP_DOWNLOAD_SIGNATURE_CHECK_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "download/fetch.h"
#include "download/signature.h"

class HashBehind;

// The signature step of a signed agent: hashes the archive as it arrives,
// then fetches "<archive URL>.minisig" (a Fetch of its own, same rules and
// retries as the archive) and checks it against the keys, rollback
// included. Without keys there is nothing to check.
class SignatureCheck : private FetchDelegate {
 public:
  // |done| gets an empty |error| when the archive checks, else the reason
  // and the URL it concerns.
  using Done = std::function<void(const std::string& error, const std::string& url)>;
  using Waiting = std::function<void(FetchWait why, int seconds)>;

  SignatureCheck(const FetchServices& services, std::vector<PublicKey> keys);
  ~SignatureCheck() override;

  bool required() const { return !keys_.empty(); }
  const std::vector<PublicKey>& keys() const { return keys_; }

  // The archive's body starts (again) at |path|: hashing starts at the
  // file's first byte, so kept bytes are hashed once, when they are continued.
  void archiveStarted(const std::string& path);
  // The archive file now holds its first |length| bytes.
  void archiveWritten(int64_t length);

  // Where the signature of the archive at |url| is: ".minisig" added to the
  // path, before any query or fragment.
  static std::string signatureUrl(const std::string& url);

  // Fetches the signature of the archive at |archiveUrl| into |path| and
  // checks it against the archive hashed so far and the cached agent's
  // signature |cachedSignature|. |waiting| hears of retries.
  void check(const std::string& archiveUrl, const std::string& path, double idleTimeout,
             const std::string& cachedSignature, int64_t cachedAt, Waiting waiting, Done done);
  void cancel();

  // The signature text once it has checked.
  const std::string& signature() const { return signature_; }

 private:
  void fetchAccepted(const FetchStart&) override {}
  void fetchProgress(int64_t) override {}
  void fetchWaiting(FetchWait why, int seconds) override { waiting_(why, seconds); }
  void fetchFinished() override;
  void fetchFailed(const FetchError& error) override;

  std::vector<PublicKey> keys_;
  std::unique_ptr<HashBehind> hash_;
  Fetch fetch_;
  std::string url_, path_, cached_, signature_;
  int64_t cachedAt_ = 0;
  Waiting waiting_;
  Done done_;
};

#endif  // SETUP_DOWNLOAD_SIGNATURE_CHECK_H_
