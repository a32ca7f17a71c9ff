#include "platform/sodium_library.h"

const char kSodiumLibraryName[] = "libsodium.so.23";

namespace {

SodiumLibrary* load() {
  static SodiumLibrary sodium;
  SodiumLibrary* table = &sodium;
  void* handle = dlopen(kSodiumLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (!handle || !(SETUP_SODIUM_FUNCTIONS(SETUP_LIBRARY_BIND) true)) return nullptr;
  // sodium_init returns 1 when already initialized, -1 on failure.
  if (sodium.sodium_init() < 0) return nullptr;
  return &sodium;
}

}  // namespace

const SodiumLibrary* sodiumLibrary() {
  static const SodiumLibrary* sodium = load();
  return sodium;
}
