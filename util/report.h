#ifndef SETUP_UTIL_REPORT_H_
#define SETUP_UTIL_REPORT_H_

#include <string>

// The error-report callback: one line of text without terminator, and the
// error flag (set by every report in this program).
typedef void (*ErrorReport)(std::string message, bool isError);

#endif  // SETUP_UTIL_REPORT_H_
