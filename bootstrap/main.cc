#include <string.h>

#include <string>

#include "bootstrap/driver.h"
#include "platform/bundle.h"
#include "platform/signal_watch.h"
#include "platform/system.h"
#include "util/translation.h"

// The agent's own exit status passes through, as ssh passes on the remote
// command's, so that a script can tell a failed install from a good one.
// Our own failures are 255; a run cancelled by signal n before the agent
// started is 128 + n.
int main(int argc, char** argv) {
  // A closed standard error (setup 2>&-) would otherwise be the number of
  // the next file opened: the signal pipe, which the status line would
  // then wait on for ever.
  openStandardDescriptors();
  initTranslations(stripLastComponent(programPath()));
  setProcessArguments(argc, argv);
  int result = mainFcn(argc, argv, report_error_main);
  if (result >= 0) return result;
  int signal = lastTerminationSignal();
  if (signal)
    report_error_main(sayf(_("Cancelled (SIG%s) before the installer started."),
                           sigabbrev_np(signal)), true);
  report_error_main(_("Installation failed."), true);
  return signal ? 128 + signal : 255;
}
