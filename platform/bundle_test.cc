#include "platform/bundle.h"

#include <gtest/gtest.h>

// Both layouts run in the integration suite, and an app's layout in the
// identity test; here, a directory that only looks like an app's is not
// taken for one.
TEST(BundleForProgram, AppLayoutOnlyWithAnAppAroundIt) {
  MainBundle bundle = bundleForProgram("/opt/Contents/MacOS/setup");
  EXPECT_EQ(bundle.bundlePath, "/opt/Contents/MacOS");
  EXPECT_EQ(bundle.resourcePath, "/opt/Contents/MacOS");
}
