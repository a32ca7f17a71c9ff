#include "util/text_columns.h"

namespace {

// The character starting at |text|[i] and its length in bytes; a stray
// byte counts as one character of its own.
char32_t decode(const std::string& text, size_t i, size_t* length) {
  unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t n = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 1;
  if (i + n > text.size()) n = 1;
  char32_t c = n == 1 ? lead : lead & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  *length = n;
  return c;
}

int width(char32_t c) {
  if ((c >= 0x300 && c <= 0x36F) || (c >= 0x591 && c <= 0x5C7 && c != 0x5BE) ||
      (c >= 0x610 && c <= 0x61A) || (c >= 0x64B && c <= 0x65F) || c == 0x670 || c == 0x200B ||
      (c >= 0x200C && c <= 0x200F) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF)
    return 0;
  if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
      (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
      (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD))
    return 2;
  return 1;
}

}  // namespace

int textColumns(const std::string& text) {
  int columns = 0;
  for (size_t i = 0, n = 0; i < text.size(); i += n) columns += width(decode(text, i, &n));
  return columns;
}

std::string cutToColumns(const std::string& text, int columns) {
  size_t i = 0;
  for (size_t n = 0; i < text.size(); i += n) {
    int w = width(decode(text, i, &n));
    if (w > columns) break;
    columns -= w;
  }
  return text.substr(0, i);
}

std::vector<std::string> wrapToColumns(const std::string& text, int columns) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (true) {
    size_t end = text.find('\n', begin);
    std::string rest = text.substr(begin, end == std::string::npos ? end : end - begin);
    while (textColumns(rest) > columns) {
      std::string head = cutToColumns(rest, columns);
      size_t space = head.size() < rest.size() && rest[head.size()] == ' ' ? head.size()
                                                                            : head.rfind(' ');
      if (space != std::string::npos && space > 0) head = rest.substr(0, space);
      if (head.empty()) {  // a character wider than the line
        size_t n = 0;
        decode(rest, 0, &n);
        head = rest.substr(0, n);
      }
      lines.push_back(head);
      size_t next = head.size();
      while (next < rest.size() && rest[next] == ' ') ++next;
      rest = rest.substr(next);
    }
    lines.push_back(rest);
    if (end == std::string::npos) return lines;
    begin = end + 1;
  }
}
