#include "download/identity.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/test_util.h"

// Only an .app bundle has a name (its path as bundleForProgram finds it),
// and the id made of it: the same names as the kit test gives
// scripts/make-bundle.sh, whose launchers must carry these ids. Its
// icon.png, wherever bundleForProgram puts the resources, is the window's.
TEST(Identity, NameAndIdFromTheAppBundleIconFromTheResources) {
  ScratchDir dir;
  const std::string app = dir / "Odd 'Name'.app/Contents/Resources/icon.png",
                    flat = dir / "flat/icon.png";
  for (const std::string& icon : {app, flat})
    std::filesystem::create_directories(std::filesystem::path(icon).parent_path()),
        writeFile(icon, "png");
  const struct { std::string program, id, name, icon; } cases[] = {
      {"Odd 'Name'.app/Contents/MacOS/setup", "odd-name", "Odd 'Name'", app},
      {"  R2-D2  v3.1 .app/Contents/MacOS/setup", "r2-d2-v3-1", "  R2-D2  v3.1 ", ""},
      {"\xc3\xa9t\xc3\xa9 2.app/Contents/MacOS/setup", "t-2", "\xc3\xa9t\xc3\xa9 2", ""},
      {"--.app/Contents/MacOS/setup", "product", "--", ""},
      {"flat/setup", "", "", flat}, {".app/Contents/MacOS/setup", "", "", ""}};
  for (const auto& c : cases) {
    DisplayIdentity identity = bundleIdentity(bundleForProgram(dir / c.program));
    EXPECT_EQ(std::tie(identity.applicationId, identity.name, identity.icon),
              std::tie(c.id, c.name, c.icon)) << c.program;
  }
}
