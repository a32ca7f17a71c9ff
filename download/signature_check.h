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
  // and the URL it concerns; and |broke| when the signature did not come at
  // all (the network, the connection, the disk: not the server's answer),
  // which says nothing against the archive.
  using Done = std::function<void(const std::string& error, const std::string& url,
                                  const FetchError* broke)>;
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
  // The validator the last signature was sent with (its ETag, or
  // "Last-Modified: <date>"); empty when it had none.
  const std::string& signatureValidator() const { return validator_; }

 private:
  bool fetchWantsBody(const FetchStart& offered) override;
  void fetchAccepted(const FetchStart&) override {}
  void fetchProgress(int64_t, int64_t) override {}
  void fetchWaiting(FetchWait why, int seconds) override { waiting_(why, seconds); }
  void fetchFinished() override;
  void fetchFailed(const FetchError& error) override;

  std::vector<PublicKey> keys_;
  std::unique_ptr<HashBehind> hash_;
  Fetch fetch_;
  std::string url_, path_, cached_, signature_, validator_;
  int64_t cachedAt_ = 0;
  Waiting waiting_;
  Done done_;
};

// Whether a release was published under a run: an archive and a signature
// fetched a moment apart from one URL can belong to two releases, and then
// do not check. Each file is asked about with the validator it was fetched
// under (If-None-Match, or If-Modified-Since for a date), for its last byte
// only: a 304, or an answer whose validator matches (weakly, as the
// condition is judged), says it is the same; another validator says it
// changed. The files are asked one after the other until one has changed.
class ReleaseProbe : private FetchDelegate {
 public:
  enum class Answer { kSame, kChanged, kUnknown };
  struct File {
    std::string url, validator;
  };
  using Done = std::function<void(Answer answer)>;

  explicit ReleaseProbe(const FetchServices& services);
  ~ReleaseProbe() override;

  // Asks about |files| (those without a validator cannot be asked about and
  // are left out) and tells |done| from the loop: kChanged when any has
  // changed, kSame when all are the same, kUnknown when the server did not
  // say. |scratch| is a path a transfer may create; no body is written.
  void start(const std::vector<File>& files, const std::string& scratch, double idleTimeout,
             SignatureCheck::Waiting waiting, Done done);
  void cancel();

 private:
  bool fetchWantsBody(const FetchStart& offered) override;
  bool fetchNotModified() override;
  void fetchAccepted(const FetchStart&) override {}
  void fetchProgress(int64_t, int64_t) override {}
  void fetchWaiting(FetchWait why, int seconds) override { waiting_(why, seconds); }
  void fetchFinished() override { answer(Answer::kUnknown); }
  void fetchFailed(const FetchError&) override { answer(Answer::kUnknown); }
  void askNext();
  void answer(Answer answer);

  const FetchServices& services_;
  Fetch fetch_;
  std::vector<File> files_;
  size_t asked_ = 0;  // files asked about so far
  std::string scratch_;
  double idleTimeout_ = 60.0;
  Loop::Handle next_ = 0;
  SignatureCheck::Waiting waiting_;
  Done done_;
};

// Whether a host serves, byte for byte, the signature a cached agent was
// checked with: then that agent is the host's current archive, whatever
// ETag the host gives it (hosts differ in theirs). Costs the signature's
// few hundred bytes instead of the archive.
class SignatureMatch : private FetchDelegate {
 public:
  enum class Answer { kSame, kOther, kFailed };
  // |error| says why, with kFailed.
  using Done = std::function<void(Answer answer, const FetchError& error)>;

  explicit SignatureMatch(const FetchServices& services);
  ~SignatureMatch() override;

  // Fetches the signature of the archive at |archiveUrl| into |path| (then
  // removed) and compares it with |expected|; |done| hears the answer.
  void start(const std::string& archiveUrl, const std::string& path, const std::string& expected,
             double idleTimeout, bool handOver, Done done);
  void cancel();

 private:
  void fetchAccepted(const FetchStart&) override {}
  void fetchProgress(int64_t, int64_t) override {}
  void fetchWaiting(FetchWait, int) override {}
  void fetchFinished() override;
  void fetchFailed(const FetchError& error) override;

  Fetch fetch_;
  std::string path_, expected_;
  Done done_;
};

#endif  // SETUP_DOWNLOAD_SIGNATURE_CHECK_H_
