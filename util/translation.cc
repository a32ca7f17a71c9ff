#include "util/translation.h"

#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>


namespace {

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The user's decimal sign, read once: the program's own LC_NUMERIC stays
// "C", so that no log line or parsed number changes with the locale.
const std::string& decimalSign() {
  static const std::string sign = [] {
    locale_t user = newlocale(LC_NUMERIC_MASK, "", nullptr);
    if (user == nullptr) return std::string(".");
    std::string radix = nl_langinfo_l(RADIXCHAR, user);
    freelocale(user);
    return radix.empty() ? std::string(".") : radix;
  }();
  return sign;
}

}  // namespace

void initTranslations(const std::string& programDir) {
  setlocale(LC_ALL, "");
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
  return dot == std::string::npos ? text : text.replace(dot, 1, decimalSign());
}
