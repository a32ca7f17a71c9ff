#include "download/signature_check.h"

#include <unistd.h>

#include "agent/cache.h"
#include "download/hash_behind.h"
#include "platform/system.h"

SignatureCheck::SignatureCheck(const FetchServices& services, std::vector<PublicKey> keys)
    : keys_(std::move(keys)), fetch_(services, *this) {}

SignatureCheck::~SignatureCheck() = default;

void SignatureCheck::archiveStarted(const std::string& path) {
  hash_.reset();
  if (required()) hash_ = std::make_unique<HashBehind>(path);
}

void SignatureCheck::archiveWritten(int64_t length) {
  if (hash_) hash_->written(length);
}

void SignatureCheck::check(const std::string& archiveUrl, const std::string& path,
                           double idleTimeout, const std::string& cachedSignature,
                           int64_t cachedAt, Waiting waiting, Done done) {
  url_ = archiveUrl;
  path_ = path;
  cached_ = cachedSignature;
  cachedAt_ = cachedAt;
  waiting_ = std::move(waiting);
  done_ = std::move(done);
  validator_.clear();
  FetchRequest request;
  request.url = signatureUrl(archiveUrl);
  request.destination = path;
  request.idleTimeout = idleTimeout;
  request.maxBytes = kMaxSignatureBytes;
  fetch_.start(request);
}

std::string SignatureCheck::signatureUrl(const std::string& url) {
  size_t end = url.find_first_of("?#", url.find("://") == std::string::npos ? 0 : url.find("://") + 3);
  if (end == std::string::npos) end = url.size();
  return url.substr(0, end) + ".minisig" + url.substr(end);
}

void SignatureCheck::cancel() {
  fetch_.cancel();
  unlink(path_.c_str());
}

bool SignatureCheck::fetchWantsBody(const FetchStart& offered) {
  validator_ = validationStringFor(offered.etag, offered.lastModified);
  return true;
}

void SignatureCheck::fetchFinished() {
  std::string text, error;
  bool read = readRegularFile(path_, kMaxSignatureBytes + 1, &text);
  unlink(path_.c_str());
  if (!hash_) return done_("The archive was not hashed.", url_, nullptr);
  ArchiveVerifier& verifier = hash_->finish(&error);
  SignatureInfo info;
  if (!read) error = "Cannot read the signature.";
  if (error.empty() && verifier.verify(text, keys_, &info, &error) &&
      !isRollback(info, cached_, cachedAt_, &error)) {
    signature_ = text;
    error.clear();
  }
  done_(error, url_, nullptr);
}

void SignatureCheck::fetchFailed(const FetchError& error) {
  unlink(path_.c_str());
  switch (error.failure) {
    case FetchFailure::kServerStatus:
    case FetchFailure::kNotModified:
      return done_("No signature for the archive (HTTP status " + std::to_string(error.status) +
                   ").", error.url, nullptr);
    case FetchFailure::kTooLarge:
      return done_("The signature is larger than " + std::to_string(kMaxSignatureBytes) +
                   " bytes.", error.url, nullptr);
    case FetchFailure::kBadResponse:
      return done_(error.description, error.url, nullptr);
    default:
      return done_(error.description, error.url, &error);
  }
}

ReleaseProbe::ReleaseProbe(const FetchServices& services)
    : services_(services), fetch_(services, *this) {}

ReleaseProbe::~ReleaseProbe() { cancel(); }

void ReleaseProbe::start(const std::vector<File>& files, const std::string& scratch,
                         double idleTimeout, SignatureCheck::Waiting waiting, Done done) {
  cancel();
  files_.clear();
  for (const File& file : files)
    if (!file.validator.empty()) files_.push_back(file);
  asked_ = 0;
  scratch_ = scratch;
  idleTimeout_ = idleTimeout;
  waiting_ = std::move(waiting);
  done_ = std::move(done);
  askNext();
}

void ReleaseProbe::cancel() {
  fetch_.cancel();
  if (next_) services_.loop->cancelTimer(next_);
  next_ = 0;
}

// One byte at most: the answer's headers are all that is wanted.
void ReleaseProbe::askNext() {
  next_ = 0;
  if (asked_ == files_.size()) return done_(Answer::kSame);
  const std::string& validator = files_[asked_].validator;
  FetchRequest request;
  request.url = files_[asked_].url;
  request.destination = scratch_;
  request.idleTimeout = idleTimeout_;
  request.suffix = 1;
  request.ifModifiedSince = stampedDate(validator);
  if (request.ifModifiedSince.empty()) request.ifNoneMatch = validator;
  ++asked_;
  fetch_.start(request);
}

// A server that ignores the condition names the file by its validators.
bool ReleaseProbe::fetchWantsBody(const FetchStart& offered) {
  const std::string& validator = files_[asked_ - 1].validator;
  bool same = weakEtagMatch(offered.etag, validator) ||
              validationStringFor(offered.etag, offered.lastModified) == validator;
  answer(same ? Answer::kSame : Answer::kChanged);
  return false;
}

bool ReleaseProbe::fetchNotModified() {
  answer(Answer::kSame);
  return true;
}

// From the loop: the fetch that answered is still inside its event.
void ReleaseProbe::answer(Answer answer) {
  next_ = services_.loop->addTimer(0, [this, answer] {
    if (answer == Answer::kSame) return askNext();
    next_ = 0;
    done_(answer);
  });
}

SignatureMatch::SignatureMatch(const FetchServices& services) : fetch_(services, *this) {}

SignatureMatch::~SignatureMatch() { cancel(); }

void SignatureMatch::start(const std::string& archiveUrl, const std::string& path,
                           const std::string& expected, double idleTimeout, bool handOver,
                           Done done) {
  path_ = path;
  expected_ = expected;
  done_ = std::move(done);
  FetchRequest request;
  request.url = SignatureCheck::signatureUrl(archiveUrl);
  request.destination = path;
  request.idleTimeout = idleTimeout;
  request.maxBytes = kMaxSignatureBytes;
  request.handOver = handOver;
  fetch_.start(request);
}

void SignatureMatch::cancel() {
  if (!fetch_.running()) return;
  fetch_.cancel();
  unlink(path_.c_str());
}

void SignatureMatch::fetchFinished() {
  std::string text;
  bool same = readRegularFile(path_, kMaxSignatureBytes + 1, &text) && !expected_.empty() &&
              text == expected_;
  unlink(path_.c_str());
  done_(same ? Answer::kSame : Answer::kOther, FetchError());
}

void SignatureMatch::fetchFailed(const FetchError& error) {
  unlink(path_.c_str());
  done_(Answer::kFailed, error);
}
