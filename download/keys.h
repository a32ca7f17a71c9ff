#ifndef SETUP_DOWNLOAD_KEYS_H_
#define SETUP_DOWNLOAD_KEYS_H_

#include <string>
#include <vector>

#include "download/signature.h"

// The keys a downloaded agent must be signed by: those built into the
// program (the configure step's SETUP_PUBLIC_KEYS) and those of the
// bundle's InstallAgent.pub. The file may add keys (the next one, for a
// rotation) but never takes a built-in one away, so a program built with
// keys requires a signature whatever lies beside it, or does not. No keys at
// all: nothing is checked. False, with the reason, when the built-in keys or
// the file do not parse.
bool bundleKeys(const std::string& resourceDir, std::vector<PublicKey>* keys, std::string* error);

// bundleKeys with |builtIn| as the built-in keys' text (empty: none).
bool mergeKeys(const std::string& builtIn, const std::string& resourceDir,
               std::vector<PublicKey>* keys, std::string* error);

#endif  // SETUP_DOWNLOAD_KEYS_H_
