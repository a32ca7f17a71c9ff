#include "util/temp_dir.h"

#include "platform/system.h"

TempDir::TempDir(std::string) {
  std::string base = temporaryDirectory();
  if (base.empty()) base = "/tmp";
  dir = makeUniqueDirectory(appendPathComponent(base, "zv"));
}

TempDir::~TempDir() {
  if (!dir.empty()) removeItemAtPath(dir);
}
