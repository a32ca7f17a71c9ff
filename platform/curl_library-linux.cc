#include "platform/curl_library.h"

#include <dlfcn.h>

namespace {

CurlLibrary* load() {
  void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (!library) return nullptr;
  static CurlLibrary curl;
  bool complete = true;
#define SETUP_CURL_BIND(name)                                             \
  curl.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)); \
  complete = complete && curl.name;
  SETUP_CURL_FUNCTIONS(SETUP_CURL_BIND)
#undef SETUP_CURL_BIND
  if (!complete || curl.curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
  return &curl;
}

}  // namespace

const CurlLibrary* curlLibrary() {
  static const CurlLibrary* curl = load();
  return curl;
}
