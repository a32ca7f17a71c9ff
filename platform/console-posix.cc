#include "platform/console.h"

#include <cstdio>

namespace {
bool statusLinePending = false;
}

void setStatusLinePending(bool pending) { statusLinePending = pending; }

void endStatusLine() {
  if (!statusLinePending) return;
  fputc('\n', stderr);
  statusLinePending = false;
}
