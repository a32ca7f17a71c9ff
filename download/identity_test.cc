#include "download/identity.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/test_util.h"

// The same names as the kit test gives scripts/make-bundle.sh, whose
// launchers must carry these ids.
TEST(Identity, ApplicationIdIsTheLaunchersName) {
  const std::pair<std::string, std::string> cases[] = {
      {"Sample Product", "sample-product"}, {"Odd 'Name'", "odd-name"},
      {"  R2-D2  v3.1 ", "r2-d2-v3-1"},     {"\xc3\xa9t\xc3\xa9 2", "t-2"},
      {"\xe8\xa3\xbd\xe5\x93\x81", "product"}, {"--", "product"},
  };
  for (const auto& [name, id] : cases) EXPECT_EQ(applicationIdFor(name), id) << name;
}

// Only an .app bundle has a name; its icon.png, wherever it is, is the window's.
TEST(Identity, NameFromTheAppBundleIconFromTheResources) {
  ScratchDir dir;
  std::filesystem::create_directories(dir / "Odd 'Name'.app/Contents/Resources");
  std::filesystem::create_directories(dir / "flat");
  writeFile(dir / "Odd 'Name'.app/Contents/Resources/icon.png", "png");
  writeFile(dir / "flat/icon.png", "png");
  const struct Case {
    std::string program, id, name, icon;
  } cases[] = {
      {"Odd 'Name'.app/Contents/MacOS/setup", "odd-name", "Odd 'Name'",
       dir / "Odd 'Name'.app/Contents/Resources/icon.png"},
      {"Other.app/Contents/MacOS/setup", "other", "Other", ""},
      {"flat/setup", "", "", dir / "flat/icon.png"},
      {".app/Contents/MacOS/setup", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    DisplayIdentity identity = bundleIdentity(bundleForProgram(dir / c.program));
    EXPECT_EQ(identity.applicationId, c.id);
    EXPECT_EQ(identity.name, c.name);
    EXPECT_EQ(identity.icon, c.icon);
  }
}
