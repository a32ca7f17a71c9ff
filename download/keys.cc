#include "download/keys.h"

#include "platform/system.h"
#include "util/build_config.h"

bool mergeKeys(const std::string& builtIn, const std::string& resourceDir,
               std::vector<PublicKey>* keys, std::string* error) {
  std::vector<PublicKey> merged, added;
  std::string reason;
  if (!builtIn.empty() && !parsePublicKeys(builtIn, &merged, &reason)) {
    *error = "The keys built into the program: " + reason;
    return false;
  }
  std::string keyFile = appendPathComponent(resourceDir, "InstallAgent.pub");
  if (fileExists(keyFile) && !loadPublicKeys(keyFile, &added, error)) return false;
  // A built-in key listed in the file too (as a bundle made for older
  // programs lists it) counts once, as the built-in one.
  for (const PublicKey& key : added) {
    bool known = false;
    for (const PublicKey& have : merged) known = known || have.id == key.id;
    if (!known) merged.push_back(key);
  }
  *keys = std::move(merged);
  return true;
}

bool bundleKeys(const std::string& resourceDir, std::vector<PublicKey>* keys, std::string* error) {
  return mergeKeys(SETUP_BUILD_PUBLIC_KEYS, resourceDir, keys, error);
}
