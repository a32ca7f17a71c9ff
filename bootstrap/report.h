#ifndef SETUP_BOOTSTRAP_REPORT_H_
#define SETUP_BOOTSTRAP_REPORT_H_

#include <string>

#include "util/report.h"

// Writes |message| and a newline to standard error when |isError| is set,
// to standard output otherwise, and flushes.
void report_error_main(std::string message, bool isError);

#endif  // SETUP_BOOTSTRAP_REPORT_H_
