#include "platform/bundle.h"

#include "platform/system.h"

#include <unistd.h>

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

MainBundle bundleForProgram(const std::string& programPath) {
  std::string dir = stripLastComponent(programPath);
  const std::string kMacOS = ".app/Contents/MacOS";
  if (endsWith(dir, kMacOS)) {
    std::string app = dir.substr(0, dir.size() - std::string("/Contents/MacOS").size());
    return {app, app + "/Contents/Resources"};
  }
  return {dir, dir};
}

std::string programPath() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
  if (length <= 0 || length == static_cast<ssize_t>(sizeof(buffer))) return "";
  return std::string(buffer, length);
}

bool getMainBundle(MainBundle* bundle) {
  std::string program = programPath();
  if (program.empty()) return false;
  *bundle = bundleForProgram(program);
  return true;
}
