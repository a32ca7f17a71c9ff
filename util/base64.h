#ifndef SETUP_UTIL_BASE64_H_
#define SETUP_UTIL_BASE64_H_

#include <string>

// Decodes |text| in the standard base64 alphabet with "=" padding (its
// length a multiple of four), into |bytes|. False for any other character,
// a missing or misplaced "=", or bits left over in the last group.
bool decodeBase64(const std::string& text, std::string* bytes);

#endif  // SETUP_UTIL_BASE64_H_
