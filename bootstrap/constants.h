#ifndef SETUP_BOOTSTRAP_CONSTANTS_H_
#define SETUP_BOOTSTRAP_CONSTANTS_H_

#include <string>

// Every name by which this release of the installer is known on disk and on
// the network. The release and platform tags are part of both the cache
// directory and the download path, so each release has its own of each.
inline const std::string FILE_SEPARATOR = "/";
inline const std::string RELEASE_TAG = "V3104k";
inline const std::string PLATFORM_TAG = "maci64";
inline const std::string INSTALL_AGENT_ZIP_NAME = "InstallAgent.zip";
inline const std::string INSTALL_AGENT_URL =
    "https://downloads.korvex.com/pi_install_agent_pi_" + RELEASE_TAG + "_" + PLATFORM_TAG;
inline const std::string INSTALL_AGENT_DIR_NAME = "installagent";
inline const std::string INSTALLER_CACHE_DIR = ".korvex" + FILE_SEPARATOR + "app_installer_cache" +
                                               FILE_SEPARATOR + RELEASE_TAG + FILE_SEPARATOR +
                                               PLATFORM_TAG + FILE_SEPARATOR;
inline const std::string VALIDATION_FILE_NAME = ".validatestring";

#endif  // SETUP_BOOTSTRAP_CONSTANTS_H_
