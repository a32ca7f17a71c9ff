#ifndef SETUP_DOWNLOAD_SPACE_CHECK_H_
#define SETUP_DOWNLOAD_SPACE_CHECK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/system.h"

// Bytes a download will put under a directory.
struct SpaceNeed {
  std::string path;
  int64_t bytes = 0;
};

using DiskSpaceOf = std::function<bool(const std::string& path, DiskSpace* space)>;

// The first file system without room for what |needs| put on it (needs on
// one file system added up), in one line for the user: "Not enough disk
// space: 1.6 GB needed in /home, 0.9 GB free". Empty when everything fits,
// or when the space cannot be told (the download then finds out as today).
std::string spaceShortfall(const std::vector<SpaceNeed>& needs, const DiskSpaceOf& diskSpace);

// What unpacking |files| entries of |bytes| in all takes on disk at most:
// each file's last block may be only partly used.
int64_t unpackedFootprint(int64_t bytes, int64_t files);

#endif  // SETUP_DOWNLOAD_SPACE_CHECK_H_
