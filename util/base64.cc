#include "util/base64.h"

#include <cstring>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
  const char* at = c ? strchr(kAlphabet, c) : nullptr;
  return at ? static_cast<int>(at - kAlphabet) : -1;
}

// Decodes one group of four characters, |last| allowing its padding.
bool decodeGroup(const char* group, bool last, std::string* bytes) {
  int padding = last ? (group[3] == '=') + (group[2] == '=' && group[3] == '=') : 0;
  unsigned value = 0;
  for (int i = 0; i < 4 - padding; ++i) {
    int v = sextet(group[i]);
    if (v < 0) return false;
    value = value << 6 | v;
  }
  value <<= 6 * padding;
  if (value & ((1u << (8 * padding)) - 1)) return false;  // stray low bits
  for (int i = 0; i < 3 - padding; ++i) bytes->push_back(static_cast<char>(value >> (16 - 8 * i)));
  return true;
}

}  // namespace

bool decodeBase64(const std::string& text, std::string* bytes) {
  if (text.size() % 4 != 0) return false;
  std::string out;
  for (size_t at = 0; at < text.size(); at += 4) {
    if (!decodeGroup(text.data() + at, at + 4 == text.size(), &out)) return false;
  }
  *bytes = out;
  return true;
}
