#include "platform/bundle.h"

#include <gtest/gtest.h>

// Both layouts run in the integration suite, and an app's layout in the
// identity test; here, a directory that only looks like an app's is not
// taken for one.
TEST(BundleForProgram, AppLayoutOnlyWithAnAppAroundIt) {
  MainBundle found = bundleForProgram("/opt/Contents/MacOS/setup");
  EXPECT_EQ(found.bundlePath + " " + found.resourcePath, "/opt/Contents/MacOS /opt/Contents/MacOS");
}
