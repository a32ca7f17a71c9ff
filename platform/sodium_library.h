#ifndef SETUP_PLATFORM_SODIUM_LIBRARY_H_
#define SETUP_PLATFORM_SODIUM_LIBRARY_H_

// libsodium, loaded when a signature is first checked rather than linked:
// only a download with signing keys needs it, and a cache hit should start
// as fast as without it.
#include <sodium.h>

#include "platform/shared_library.h"

#define SETUP_SODIUM_FUNCTIONS(X)                                           \
  X(sodium_init) X(crypto_generichash_init) X(crypto_generichash_update)   \
  X(crypto_generichash_final) X(crypto_sign_verify_detached)               \
  X(crypto_core_ed25519_is_valid_point)

// The libsodium functions signature checks use, under their own names.
struct SodiumLibrary {
  SETUP_SODIUM_FUNCTIONS(SETUP_LIBRARY_MEMBER)
};

// Loads and initializes libsodium once; null when it cannot be loaded.
const SodiumLibrary* sodiumLibrary();

// The file name sodiumLibrary() loads, for messages.
extern const char kSodiumLibraryName[];

#endif  // SETUP_PLATFORM_SODIUM_LIBRARY_H_
