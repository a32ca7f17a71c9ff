#ifndef SETUP_UTIL_TRANSLATION_H_
#define SETUP_UTIL_TRANSLATION_H_

#include <libintl.h>

#include <cstdint>
#include <string>

// Every text a person reads goes through the program's catalogue: _() for
// a text, N_() to mark one that is looked up later, ngettext() for counts.
// The system log is kept in English (unmarked) so that it can be searched.
#define SETUP_TEXT_DOMAIN "setup"
#define _(text) dgettext(SETUP_TEXT_DOMAIN, text)
#define N_(text) text
#define P_(one, many, n) dngettext(SETUP_TEXT_DOMAIN, one, many, n)

// The user's locale for texts and character types, with numbers in the C
// locale's form for everything else (logs, parsing); the catalogue bound to
// |programDir|/locale in a build tree, else |programDir|/../share/locale.
void initTranslations(const std::string& programDir);

// printf into a string; catalogues may reorder the arguments (%2$s).
std::string sayf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// |value| with |decimals| digits after the user's decimal sign, as
// initTranslations found it ("1,5" in German; "1.5" in the C and English
// locales, and before initTranslations).
std::string localDecimal(double value, int decimals);

#endif  // SETUP_UTIL_TRANSLATION_H_
