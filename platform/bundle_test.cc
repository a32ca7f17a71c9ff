#include "platform/bundle.h"

#include <gtest/gtest.h>

// Both layouts run in the integration suite; here, a directory that only
// looks like an app's is not taken for one.
TEST(BundleForProgram, AppLayoutOnlyWithAnAppAroundIt) {
  const struct {
    std::string program, bundle, resources;
  } cases[] = {
      {"/Applications/Setup.app/Contents/MacOS/setup", "/Applications/Setup.app",
       "/Applications/Setup.app/Contents/Resources"},
      {"/opt/Contents/MacOS/setup", "/opt/Contents/MacOS", "/opt/Contents/MacOS"},
  };
  for (const auto& c : cases) {
    MainBundle bundle = bundleForProgram(c.program);
    EXPECT_EQ(bundle.bundlePath, c.bundle) << c.program;
    EXPECT_EQ(bundle.resourcePath, c.resources) << c.program;
  }
}
