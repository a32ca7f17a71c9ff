#include "download/space_check.h"

#include <map>

#include "download/progress.h"
#include "util/translation.h"

std::string spaceShortfall(const std::vector<SpaceNeed>& needs, const DiskSpaceOf& diskSpace,
                           std::string* said) {
  std::map<uint64_t, std::pair<DiskSpace, int64_t>> byDevice;
  std::vector<uint64_t> order;
  for (const SpaceNeed& need : needs) {
    DiskSpace space;
    if (!diskSpace(need.path, &space)) return "";
    auto found = byDevice.find(space.device);
    if (found == byDevice.end()) {
      byDevice[space.device] = {space, 0};
      order.push_back(space.device);
    }
    int64_t& sum = byDevice[space.device].second;
    sum = need.bytes > INT64_MAX - sum ? INT64_MAX : sum + need.bytes;
  }
  for (uint64_t device : order) {
    const auto& [space, needed] = byDevice[device];
    if (needed <= space.freeBytes) continue;
    if (said)
      *said = sayf(_("Not enough disk space: %s needed in %s, %s free"), localBytes(needed).c_str(),
                   space.mountPoint.c_str(), localBytes(space.freeBytes).c_str());
    return "Not enough disk space: " + formatSiBytes(needed) + " needed in " + space.mountPoint +
           ", " + formatSiBytes(space.freeBytes) + " free";
  }
  return "";
}

int64_t unpackedFootprint(int64_t bytes, int64_t files) {
  constexpr int64_t kBlock = 4096;
  return files > (INT64_MAX - bytes) / kBlock ? INT64_MAX : bytes + files * kBlock;
}

int64_t unpackedFootprintOf(const ZipDirectory& directory) {
  return unpackedFootprint(totalUnpackedSize(directory.entries),
                           static_cast<int64_t>(directory.entries.size()));
}

bool keepsArchiveWith(int64_t freeBytes, int64_t unpackedBytes, int64_t archiveBytes) {
  return freeBytes - unpackedBytes >= 1000000000 + archiveBytes;
}
