#include "download/hash_behind.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

HashBehind::HashBehind(const std::string& path)
    : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)), thread_([this] { run(); }) {}

HashBehind::~HashBehind() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    written_ = hashed_;  // stop at once
  }
  changed_.notify_all();
  thread_.join();
  if (fd_ >= 0) close(fd_);
}

void HashBehind::written(uint64_t length) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    written_ = length;
  }
  changed_.notify_all();
}

ArchiveVerifier& HashBehind::finish(std::string* error) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return hashed_ >= written_ || failed_; });
  error->assign(failed_ ? "Cannot read the downloaded archive back to check it." : "");
  return verifier_;
}

// Hashes in reads of up to 256 KiB, the transfer's own chunk size.
void HashBehind::run() {
  std::vector<char> buffer(256 * 1024);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return done_ || hashed_ < written_; });
    if (hashed_ >= written_ && done_) return;
    size_t want = std::min<uint64_t>(buffer.size(), written_ - hashed_);
    uint64_t at = hashed_;
    lock.unlock();
    ssize_t n = pread(fd_, buffer.data(), want, at);
    if (n > 0) verifier_.update(buffer.data(), n);
    lock.lock();
    if (n > 0) hashed_ += n;
    else failed_ = true, written_ = hashed_;
    changed_.notify_all();
  }
}
