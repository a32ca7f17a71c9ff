#include "platform/curl_library.h"

namespace {

CurlLibrary* load() {
  static CurlLibrary curl;
  CurlLibrary* table = &curl;
  void* handle = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (!handle || !(SETUP_CURL_FUNCTIONS(SETUP_LIBRARY_BIND) true)) return nullptr;
  if (curl.curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
  return &curl;
}

}  // namespace

const CurlLibrary* curlLibrary() {
  static const CurlLibrary* curl = load();
  return curl;
}
