#include "platform/file_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace {

bool copyThroughBuffer(int in, off_t at, int out, off_t to, int64_t length) {
  std::vector<char> buffer(1 << 20);
  while (length > 0) {
    ssize_t got = pread(in, buffer.data(), std::min<int64_t>(length, buffer.size()), at);
    if (got <= 0 || pwrite(out, buffer.data(), got, to) != got) return false;
    at += got, to += got, length -= got;
  }
  return true;
}

}  // namespace

bool copyFileRange(const std::string& from, int64_t fromOffset, const std::string& to,
                   int64_t toOffset, int64_t length) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  int out = open(to.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  bool copied = in >= 0 && out >= 0;
  off_t at = fromOffset, into = toOffset;
  while (copied && length > 0) {
    ssize_t moved = copy_file_range(in, &at, out, &into, length, 0);
    if (moved > 0) {
      length -= moved;
      continue;
    }
    // Not across these file systems, or not on this kernel: by hand. The
    // source ending early is a failure either way.
    copied = moved < 0 && copyThroughBuffer(in, at, out, into, length);
    length = 0;
  }
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  return copied;
}
