#include "util/quote.h"

#include <cstring>

namespace {

bool isShellSafe(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         (c != '\0' && strchr("_@%+=:,./-", c) != nullptr);
}

bool needsQuotes(const std::string& text) {
  if (text.empty()) return true;
  for (unsigned char c : text)
    if (!isShellSafe(c)) return true;
  return false;
}

}  // namespace

std::string smart_quote(std::string text) {
  if (!needsQuotes(text)) return text;
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += "'";
  return quoted;
}

std::string argv2cmdline(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    line += smart_quote(argv[i]);
    line += " ";
  }
  return line;
}
