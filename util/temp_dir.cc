#include "util/temp_dir.h"

#include <stdlib.h>

#include <vector>

#include "platform/system.h"

TempDir::TempDir(std::string) {
  std::string base = temporaryDirectory();
  if (base.empty()) base = "/tmp";
  std::string templ = appendPathComponent(base, "zvXXXXXX");
  std::vector<char> buffer(templ.begin(), templ.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) dir = buffer.data();
}

TempDir::~TempDir() {
  if (!dir.empty()) removeItemAtPath(dir);
}
