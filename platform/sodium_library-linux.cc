#include <dlfcn.h>

#include "platform/sodium_library.h"

const char kSodiumLibraryName[] = "libsodium.so.23";

namespace {

SodiumLibrary* load() {
  void* library = dlopen(kSodiumLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (!library) return nullptr;
  static SodiumLibrary sodium;
  bool complete = true;
#define SETUP_SODIUM_BIND(name)                                             \
  sodium.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)); \
  complete = complete && sodium.name;
  SETUP_SODIUM_FUNCTIONS(SETUP_SODIUM_BIND)
#undef SETUP_SODIUM_BIND
  // sodium_init returns 1 when already initialized, -1 on failure.
  if (!complete || sodium.sodium_init() < 0) return nullptr;
  return &sodium;
}

}  // namespace

const SodiumLibrary* sodiumLibrary() {
  static const SodiumLibrary* sodium = load();
  return sodium;
}
