#ifndef SETUP_UTIL_TEXT_COLUMNS_H_
#define SETUP_UTIL_TEXT_COLUMNS_H_

#include <string>
#include <vector>

// Terminal columns a UTF-8 text takes: two for a wide (East Asian)
// character, none for a combining mark, one for any other.
int textColumns(const std::string& text);

// The longest start of |text| that fits |width| columns, cut between
// characters.
std::string cutToColumns(const std::string& text, int width);

// |text| broken into lines of at most |width| columns (width >= 1): at
// spaces where there are any, else between characters (scripts written
// without spaces, and words longer than a line). Line breaks in |text| are
// kept; no line is empty unless |text| had an empty line.
std::vector<std::string> wrapToColumns(const std::string& text, int width);

#endif  // SETUP_UTIL_TEXT_COLUMNS_H_
