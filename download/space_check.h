#ifndef SETUP_DOWNLOAD_SPACE_CHECK_H_
#define SETUP_DOWNLOAD_SPACE_CHECK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/zip_directory.h"
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
// That line is for the log; |said| (when given) gets it in the user's
// language.
std::string spaceShortfall(const std::vector<SpaceNeed>& needs, const DiskSpaceOf& diskSpace,
                           std::string* said = nullptr);

// What unpacking |files| entries of |bytes| in all takes on disk at most:
// each file's last block may be only partly used.
int64_t unpackedFootprint(int64_t bytes, int64_t files);

// unpackedFootprint of |directory|'s entries.
int64_t unpackedFootprintOf(const ZipDirectory& directory);

// Whether a verified archive of |archiveBytes| is kept for the next update
// by delta when |freeBytes| are free before an agent of |unpackedBytes| is
// unpacked beside it: at least 1 GB and as much again as the archive must
// then stay free, for the next update rebuilds a new archive next to it.
bool keepsArchiveWith(int64_t freeBytes, int64_t unpackedBytes, int64_t archiveBytes);

#endif  // SETUP_DOWNLOAD_SPACE_CHECK_H_
