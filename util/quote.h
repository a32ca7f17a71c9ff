#ifndef SETUP_UTIL_QUOTE_H_
#define SETUP_UTIL_QUOTE_H_

#include <string>

// Returns |text| as one word for /bin/sh that the shell reads back byte for
// byte: unchanged when it is non-empty and made only of
// A-Z a-z 0-9 _ @ % + = : , . / -, otherwise in single quotes with each
// embedded single quote written as '\'' (the empty text becomes '').
std::string smart_quote(std::string text);

// The arguments argv[1] .. argv[argc-1], each quoted by smart_quote and
// followed by one blank. Empty for argc below 2.
std::string argv2cmdline(int argc, const char* const* argv);

#endif  // SETUP_UTIL_QUOTE_H_
