#include "bootstrap/driver.h"
#include "platform/system.h"

int main(int argc, char** argv) {
  setProcessArguments(argc, argv);
  int result = mainFcn(argc, argv, report_error_main);
  if (result != 0) report_error_main("Installation failed.", true);
  return result;
}
