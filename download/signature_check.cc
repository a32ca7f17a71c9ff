#include "download/signature_check.h"

#include <unistd.h>

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

void SignatureCheck::fetchFinished() {
  std::string text, error;
  bool read = readRegularFile(path_, kMaxSignatureBytes + 1, &text);
  unlink(path_.c_str());
  if (!hash_) return done_("The archive was not hashed.", url_);
  ArchiveVerifier& verifier = hash_->finish(&error);
  SignatureInfo info;
  if (!read) error = "Cannot read the signature.";
  if (error.empty() && verifier.verify(text, keys_, &info, &error) &&
      !isRollback(info, cached_, cachedAt_, &error)) {
    signature_ = text;
    error.clear();
  }
  done_(error, url_);
}

void SignatureCheck::fetchFailed(const FetchError& error) {
  unlink(path_.c_str());
  switch (error.failure) {
    case FetchFailure::kServerStatus:
    case FetchFailure::kNotModified:
      return done_("No signature for the archive (HTTP status " + std::to_string(error.status) +
                   ").", error.url);
    case FetchFailure::kTooLarge:
      return done_("The signature is larger than " + std::to_string(kMaxSignatureBytes) +
                   " bytes.", error.url);
    default:
      return done_(error.description, error.url);
  }
}
