# The names a vendor's build of the installer is known by: cache variables
# defaulting to the stock release, checked here so that a bad value stops
# the configure step instead of producing a program that cannot work.

set(SETUP_RELEASE_TAG "V3104k" CACHE STRING "Release tag: part of the default download URL and cache directory")
set(SETUP_PLATFORM_TAG "maci64" CACHE STRING "Platform tag: part of the default download URL and cache directory")
set(SETUP_INSTALL_AGENT_URL "" CACHE STRING
  "Where the install agent is downloaded from (https://); empty: composed from the tags")
set(SETUP_MIRROR_URLS "" CACHE STRING
  "Further https:// URLs of the same install agent, a ;-separated list tried in order after the main one: used only when the agent is signed")
set(SETUP_CACHE_DIR "" CACHE STRING
  "Per-user cache directory, relative to the home directory; empty: composed from the tags")
set(SETUP_PRODUCT_NAME "" CACHE STRING
  "The product's name as people read it, spaces allowed; empty: none")
set(SETUP_PUBLIC_KEYS "" CACHE FILEPATH
  "minisign public keys (a file as minisign -G writes it) built into the program: a downloaded agent must then be signed by one")

# Stops when |value| holds anything but printable ASCII without blanks and
# quotes: the values become C string literals and paths in shell lines.
function(setup_check_plain name value)
  if(value MATCHES "[^!-~]")
    message(FATAL_ERROR "${name} \"${value}\" has white space or characters outside printable ASCII")
  elseif(value MATCHES "[\"'`\\\\]")
    message(FATAL_ERROR "${name} \"${value}\" has quote characters or a backslash")
  endif()
endfunction()

# A name people read may have spaces and letters beyond ASCII, but it
# becomes a C string literal: no quotes, backslash or control characters.
function(setup_check_name name value)
  string(ASCII 1 first)
  string(ASCII 31 last)
  string(ASCII 127 delete)
  if(value MATCHES "[\"'`\\${first}-${last}${delete}]")
    message(FATAL_ERROR "${name} has quote characters, a backslash or control characters")
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
setup_check_name(SETUP_PRODUCT_NAME "${SETUP_PRODUCT_NAME}")

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

foreach(url IN LISTS SETUP_MIRROR_URLS)
  setup_check_plain(SETUP_MIRROR_URLS "${url}")
  if(NOT url MATCHES "^https://[^/?#]+")
    message(FATAL_ERROR "SETUP_MIRROR_URLS: \"${url}\" is not an https:// URL with a host")
  endif()
endforeach()
list(JOIN SETUP_MIRROR_URLS " " SETUP_MIRROR_URLS_TEXT)

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

# The keys as the program parses them at run time, one entry each (only the
# key lines are taken: the comments could hold anything). Checked as
# strictly as the program will: a damaged entry would fail every run.
function(setup_read_public_keys file)
  set(what "SETUP_PUBLIC_KEYS \"${file}\"")
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "${what}: no such file")
  endif()
  file(READ "${file}" content)
  # One list element a line; characters that mean something to a list go.
  string(REGEX REPLACE "[][;\r]" "" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(text "")
  set(seen "")
  set(number 0)
  set(want comment)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(line MATCHES "^[ \t]*$")
      continue()
    elseif(want STREQUAL "comment")
      if(NOT line MATCHES "^untrusted comment:")
        message(FATAL_ERROR "${what}: line ${number} is not an \"untrusted comment:\" line")
      endif()
      set(want key)
    else()
      # 42 bytes in base64 (56 characters): "Ed", the key id, the Ed25519 key.
      string(LENGTH "${line}" length)
      if(NOT length EQUAL 56 OR NOT line MATCHES "^RW[QRST][A-Za-z0-9+/]+$")
        message(FATAL_ERROR "${what}: line ${number} is not a minisign public key")
      endif()
      if(line IN_LIST seen)
        message(FATAL_ERROR "${what}: the key at line ${number} is there twice")
      endif()
      list(APPEND seen "${line}")
      string(APPEND text "untrusted comment: built in\\n${line}\\n")
      set(want comment)
    endif()
  endforeach()
  if(want STREQUAL "key")
    message(FATAL_ERROR "${what}: a comment line with no key after it")
  elseif(text STREQUAL "")
    message(FATAL_ERROR "${what}: no minisign public key in it")
  endif()
  list(LENGTH seen count)
  set(SETUP_PUBLIC_KEYS_TEXT "${text}" PARENT_SCOPE)
  set(SETUP_PUBLIC_KEYS_COUNT ${count} PARENT_SCOPE)
endfunction()

set(SETUP_PUBLIC_KEYS_TEXT "")
if(NOT SETUP_PUBLIC_KEYS STREQUAL "")
  setup_read_public_keys("${SETUP_PUBLIC_KEYS}")
  # Configured again when the file changes.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${SETUP_PUBLIC_KEYS}")
endif()

# The values a product's build must set for itself: left alone, its program
# caches under another vendor's directory and downloads from its host.
set(stock "")
foreach(pair SETUP_RELEASE_TAG=V3104k SETUP_PLATFORM_TAG=maci64 SETUP_INSTALL_AGENT_URL= SETUP_CACHE_DIR=)
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 name)
  list(LENGTH pair parts)
  set(value "")
  if(parts GREATER 1)
    list(GET pair 1 value)
  endif()
  if("${${name}}" STREQUAL "${value}")
    list(APPEND stock ${name})
  endif()
endforeach()
list(JOIN stock " " stock)

message(STATUS "Release tag:        ${SETUP_RELEASE_TAG}")
message(STATUS "Platform tag:       ${SETUP_PLATFORM_TAG}")
message(STATUS "Install agent URL:  ${SETUP_INSTALL_AGENT_URL_USED}")
if(NOT SETUP_MIRROR_URLS_TEXT STREQUAL "")
  message(STATUS "Mirrors:            ${SETUP_MIRROR_URLS_TEXT} (with keys only)")
endif()
message(STATUS "Cache directory:    $HOME/${SETUP_CACHE_DIR_USED}")
if(SETUP_PRODUCT_NAME STREQUAL "")
  message(STATUS "Product name:       none (SETUP_PRODUCT_NAME)")
else()
  message(STATUS "Product name:       ${SETUP_PRODUCT_NAME}")
endif()
if(SETUP_PUBLIC_KEYS_TEXT STREQUAL "")
  message(STATUS "Public keys:        none built in (SETUP_PUBLIC_KEYS): only a bundle's InstallAgent.pub asks for signed agents")
else()
  message(STATUS "Public keys:        ${SETUP_PUBLIC_KEYS_COUNT} built in from ${SETUP_PUBLIC_KEYS}: every downloaded agent must be signed")
endif()
if(stock STREQUAL "")
  message(STATUS "Still stock:        none")
else()
  message(STATUS "Still stock:        ${stock} (a product's build sets all four: README, \"Shipping it with your product\")")
endif()

configure_file(${PROJECT_SOURCE_DIR}/util/build_config.h.in
  ${CMAKE_BINARY_DIR}/generated/util/build_config.h @ONLY)
