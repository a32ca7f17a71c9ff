# The names a vendor's build of the installer is known by: cache variables
# defaulting to the stock release, checked here so that a bad value stops
# the configure step instead of producing a program that cannot work.

set(SETUP_RELEASE_TAG "V3104k" CACHE STRING "Release tag: part of the default download URL and cache directory")
set(SETUP_PLATFORM_TAG "maci64" CACHE STRING "Platform tag: part of the default download URL and cache directory")
set(SETUP_INSTALL_AGENT_URL "" CACHE STRING
  "Where the install agent is downloaded from (https://); empty: composed from the tags")
set(SETUP_CACHE_DIR "" CACHE STRING
  "Per-user cache directory, relative to the home directory; empty: composed from the tags")

# Stops when |value| holds anything but printable ASCII without blanks and
# quotes: the values become C string literals and paths in shell lines.
function(setup_check_plain name value)
  if(value MATCHES "[^!-~]")
    message(FATAL_ERROR "${name} \"${value}\" has white space or characters outside printable ASCII")
  elseif(value MATCHES "[\"'`\\\\]")
    message(FATAL_ERROR "${name} \"${value}\" has quote characters or a backslash")
  endif()
endfunction()

# A tag is one path component of the cache directory.
function(setup_check_tag name value)
  if(value STREQUAL "")
    message(FATAL_ERROR "${name} is empty")
  endif()
  setup_check_plain(${name} "${value}")
  if(value MATCHES "/" OR value STREQUAL "." OR value STREQUAL "..")
    message(FATAL_ERROR "${name} \"${value}\" must be a single name (no '/', not '.' or '..')")
  endif()
endfunction()

setup_check_tag(SETUP_RELEASE_TAG "${SETUP_RELEASE_TAG}")
setup_check_tag(SETUP_PLATFORM_TAG "${SETUP_PLATFORM_TAG}")

set(SETUP_INSTALL_AGENT_URL_USED "${SETUP_INSTALL_AGENT_URL}")
if(SETUP_INSTALL_AGENT_URL_USED STREQUAL "")
  set(SETUP_INSTALL_AGENT_URL_USED
    "https://downloads.korvex.com/pi_install_agent_pi_${SETUP_RELEASE_TAG}_${SETUP_PLATFORM_TAG}")
endif()
setup_check_plain(SETUP_INSTALL_AGENT_URL "${SETUP_INSTALL_AGENT_URL_USED}")
if(NOT SETUP_INSTALL_AGENT_URL_USED MATCHES "^https://[^/?#]+")
  message(FATAL_ERROR
    "SETUP_INSTALL_AGENT_URL \"${SETUP_INSTALL_AGENT_URL_USED}\" is not an https:// URL with a host")
endif()

# Relative to the home directory, one trailing separator, never climbing out.
set(SETUP_CACHE_DIR_USED "${SETUP_CACHE_DIR}")
if(SETUP_CACHE_DIR_USED STREQUAL "")
  set(SETUP_CACHE_DIR_USED ".korvex/app_installer_cache/${SETUP_RELEASE_TAG}/${SETUP_PLATFORM_TAG}")
endif()
setup_check_plain(SETUP_CACHE_DIR "${SETUP_CACHE_DIR_USED}")
string(REGEX REPLACE "/+$" "" SETUP_CACHE_DIR_USED "${SETUP_CACHE_DIR_USED}")
if(SETUP_CACHE_DIR_USED STREQUAL "" OR SETUP_CACHE_DIR_USED MATCHES "^/")
  message(FATAL_ERROR "SETUP_CACHE_DIR \"${SETUP_CACHE_DIR}\" must be a directory relative to the home directory")
endif()
if("/${SETUP_CACHE_DIR_USED}/" MATCHES "/\\.\\.?/" OR SETUP_CACHE_DIR_USED MATCHES "//")
  message(FATAL_ERROR "SETUP_CACHE_DIR \"${SETUP_CACHE_DIR}\" has an empty, '.' or '..' component")
endif()
set(SETUP_CACHE_DIR_USED "${SETUP_CACHE_DIR_USED}/")

message(STATUS "Release tag:        ${SETUP_RELEASE_TAG}")
message(STATUS "Platform tag:       ${SETUP_PLATFORM_TAG}")
message(STATUS "Install agent URL:  ${SETUP_INSTALL_AGENT_URL_USED}")
message(STATUS "Cache directory:    $HOME/${SETUP_CACHE_DIR_USED}")

configure_file(${PROJECT_SOURCE_DIR}/util/build_config.h.in
  ${CMAKE_BINARY_DIR}/generated/util/build_config.h @ONLY)
