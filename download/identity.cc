#include "download/identity.h"

#include "platform/system.h"

std::string applicationIdFor(const std::string& name) {
  std::string id;
  bool gap = false;
  for (unsigned char c : name) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
    if (!keep) {
      gap = true;
      continue;
    }
    if (gap && !id.empty()) id += '-';
    gap = false;
    id += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return id.empty() ? "product" : id;
}

DisplayIdentity bundleIdentity(const MainBundle& bundle) {
  DisplayIdentity identity;
  const std::string kApp = ".app";
  std::string dir = bundle.bundlePath;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::string last = dir.substr(dir.find_last_of('/') + 1);
  if (last.size() > kApp.size() && last.compare(last.size() - kApp.size(), kApp.size(), kApp) == 0) {
    identity.name = last.substr(0, last.size() - kApp.size());
    identity.applicationId = applicationIdFor(identity.name);
  }
  std::string icon = appendPathComponent(bundle.resourcePath, "icon.png");
  if (!bundle.resourcePath.empty() && fileExists(icon)) identity.icon = icon;
  return identity;
}
