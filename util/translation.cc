#include "util/translation.h"

#include <locale.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>

namespace {

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The user's decimal sign, read when the locale is set: the program's own
// LC_NUMERIC stays "C", so that no log line or parsed number changes with
// the locale. (Read with setlocale rather than newlocale, which leaks its
// search path when LOCPATH is set.)
std::string decimalSign = ".";

}  // namespace

void initTranslations(const std::string& programDir) {
  setlocale(LC_ALL, "");
  const char* sign = localeconv()->decimal_point;
  decimalSign = sign && *sign ? sign : ".";
  setlocale(LC_NUMERIC, "C");
  std::string built = programDir + "/locale";
  bindtextdomain(SETUP_TEXT_DOMAIN,
                 (isDirectory(built) ? built : programDir + "/../share/locale").c_str());
  bind_textdomain_codeset(SETUP_TEXT_DOMAIN, "UTF-8");
}

std::string sayf(const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  int size = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(size > 0 ? size : 0, '\0');
  if (size > 0) vsnprintf(&text[0], size + 1, format, again);
  va_end(again);
  return text;
}

std::string localDecimal(double value, int decimals) {
  std::string text = sayf("%.*f", decimals, value);
  size_t dot = text.find('.');
  return dot == std::string::npos ? text : text.replace(dot, 1, decimalSign);
}
