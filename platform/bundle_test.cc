#include "platform/bundle.h"

#include <gtest/gtest.h>

TEST(BundleForProgram, AppLayoutAndPlainDirectory) {
  const struct {
    std::string program, bundle, resources;
  } cases[] = {
      {"/Applications/Setup.app/Contents/MacOS/setup", "/Applications/Setup.app",
       "/Applications/Setup.app/Contents/Resources"},
      {"/opt/product/setup", "/opt/product", "/opt/product"},
      {"/opt/Contents/MacOS/setup", "/opt/Contents/MacOS", "/opt/Contents/MacOS"},
      {"/x/My Setup.app/Contents/MacOS/setup", "/x/My Setup.app",
       "/x/My Setup.app/Contents/Resources"},
  };
  for (const auto& c : cases) {
    MainBundle bundle = bundleForProgram(c.program);
    EXPECT_EQ(bundle.bundlePath, c.bundle) << c.program;
    EXPECT_EQ(bundle.resourcePath, c.resources) << c.program;
  }
}
