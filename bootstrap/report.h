#ifndef SETUP_BOOTSTRAP_REPORT_H_
#define SETUP_BOOTSTRAP_REPORT_H_

#include <string>

// The error-report callback: one line of text without terminator, and the
// error flag (set by every report in this program).
typedef void (*ErrorReport)(std::string message, bool isError);

// Writes |message| and a newline to standard error when |isError| is set,
// to standard output otherwise, and flushes.
void report_error_main(std::string message, bool isError);

#endif  // SETUP_BOOTSTRAP_REPORT_H_
