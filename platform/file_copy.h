#ifndef SETUP_PLATFORM_FILE_COPY_H_
#define SETUP_PLATFORM_FILE_COPY_H_

#include <cstdint>
#include <string>

// Copies |length| bytes at |fromOffset| of the file |from| to |toOffset| of
// the existing file |to|, in the kernel where it can (sharing the blocks on
// file systems that allow it), else through a buffer. False when any of
// them could not be copied.
bool copyFileRange(const std::string& from, int64_t fromOffset, const std::string& to,
                   int64_t toOffset, int64_t length);

#endif  // SETUP_PLATFORM_FILE_COPY_H_
