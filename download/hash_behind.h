#ifndef SETUP_DOWNLOAD_HASH_BEHIND_H_
#define SETUP_DOWNLOAD_HASH_BEHIND_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "download/signature.h"

// Hashes a file while it is being written, on a thread of its own that
// reads each newly written range back from the page cache, so that the
// download does not wait for the hash and nothing is read again afterwards.
// The bytes already in the file (a part being continued) are hashed first.
class HashBehind {
 public:
  explicit HashBehind(const std::string& path);
  ~HashBehind();
  HashBehind(const HashBehind&) = delete;
  HashBehind& operator=(const HashBehind&) = delete;

  // The file now holds its first |length| bytes.
  void written(uint64_t length);
  // Waits until all bytes written are hashed; the verifier then holds the
  // file's hash. Empty |error| unless the file could not be read.
  ArchiveVerifier& finish(std::string* error);

 private:
  void run();

  ArchiveVerifier verifier_;
  int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t written_ = 0, hashed_ = 0;
  bool done_ = false, failed_ = false;
  std::thread thread_;
};

#endif  // SETUP_DOWNLOAD_HASH_BEHIND_H_
