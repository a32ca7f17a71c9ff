#ifndef SETUP_UTIL_CONSTANTS_H_
#define SETUP_UTIL_CONSTANTS_H_

#include <string>

#include "util/build_config.h"

// Every name by which this release of the installer is known on disk and on
// the network. The release and platform tags are part of both the default
// cache directory and the default download path, so each release has its
// own of each; a vendor's build sets all four through the configure step
// (cmake -DSETUP_RELEASE_TAG=... and so on, checked there).
inline const std::string FILE_SEPARATOR = "/";
inline const std::string RELEASE_TAG = SETUP_BUILD_RELEASE_TAG;
inline const std::string PLATFORM_TAG = SETUP_BUILD_PLATFORM_TAG;
inline const std::string INSTALL_AGENT_ZIP_NAME = "InstallAgent.zip";
inline const std::string INSTALL_AGENT_URL = SETUP_BUILD_INSTALL_AGENT_URL;
// Blank-separated https URLs of the same archive, after INSTALL_AGENT_URL.
inline const std::string INSTALL_AGENT_MIRRORS = SETUP_BUILD_MIRROR_URLS;
inline const std::string INSTALL_AGENT_DIR_NAME = "installagent";
inline const std::string INSTALLER_CACHE_DIR = SETUP_BUILD_CACHE_DIR;
inline const std::string VALIDATION_FILE_NAME = ".validatestring";
// The product's name as people read it (cmake -DSETUP_PRODUCT_NAME=...,
// spaces allowed); empty when the build names none.
inline const std::string PRODUCT_NAME = SETUP_BUILD_PRODUCT_NAME;

#endif  // SETUP_UTIL_CONSTANTS_H_
