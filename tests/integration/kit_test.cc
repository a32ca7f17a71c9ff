// The vendor's side: a build with other names, the installed program, and
// bundles and single files made by scripts/make-bundle.sh, each run for real.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/integration/harness.h"

using testing::ElementsAreArray;
using testing::HasSubstr;

namespace {

Result sh(const Strings& argv, const Env& env = {{"PATH", getenv("PATH")}}) {
  return runSetup(env, argv, 300);
}

Result configure(const std::string& build, const Strings& options) {
  Strings argv = {"cmake", "-S", SOURCE_DIR, "-B", build, "-DBUILD_TESTING=OFF"};
  return sh((argv.insert(argv.end(), options.begin(), options.end()), argv));
}

// The agent's arguments after -installbundle and the bundle path.
Strings userArgs(const World& w) {
  Strings args = w.args();
  return args.size() < 2 ? args : Strings(args.begin() + 2, args.end());
}

// A private X server, ended gently so that it removes its lock and socket.
struct Xvfb {
  Proc proc{{"Xvfb", "-displayfd", "1", "-nolisten", "tcp"}, {{"PATH", getenv("PATH")}}};
  std::string display() {
    waitUntil([this] { return has(proc.out(), "\n") || proc.ended(); }, 10);
    return ":" + proc.out().substr(0, proc.out().find('\n'));
  }
  ~Xvfb() { kill(proc.pid, SIGTERM), proc.finish(5); }
};

const Strings kHostile = {"", " ", "a b", "'", "\"", "$HOME", "`touch x`", "\\", "*", "--",
                          "--target", "-q", "a\nb", "\xc3\xa4"};

}  // namespace

TEST(KitConfigure, RefusesBadValuesAndPrintsWhatItUses) {
  struct Case { const char* option; const char* message; } cases[] = {
      {"-DSETUP_RELEASE_TAG=", "SETUP_RELEASE_TAG is empty"},
      {"-DSETUP_PLATFORM_TAG=a b", "white space"},
      {"-DSETUP_RELEASE_TAG=it's", "quote"},
      {"-DSETUP_PLATFORM_TAG=a/b", "single name"},
      {"-DSETUP_INSTALL_AGENT_URL=http://127.0.0.1/a", "not an https:// URL"},
      {"-DSETUP_CACHE_DIR=/var/cache", "relative to the home"},
      {"-DSETUP_CACHE_DIR=a/../../b", "'..'"},
  };
  for (const Case& c : cases) {
    ScratchDir build;
    Result r = configure(build.path(), {c.option});
    EXPECT_NE(r.status, 0) << c.option;
    EXPECT_THAT(r.err, HasSubstr(c.message)) << c.option;
    EXPECT_FALSE(pathExists(build / "generated/bootstrap/build_config.h")) << c.option;
  }
  ScratchDir build;
  Result r = configure(build.path(), {"-DSETUP_RELEASE_TAG=R9", "-DSETUP_PLATFORM_TAG=lin64"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("https://downloads.korvex.com/pi_install_agent_pi_R9_lin64\n"));
  EXPECT_THAT(r.out, HasSubstr("$HOME/.korvex/app_installer_cache/R9/lin64/\n"));
}

// One build with every name changed, run against the suite's nginx.
TEST(KitConfigure, VendorBuildFetchesItsUrlIntoItsCache) {
  Servers& s = servers();
  s.publish("vendor-agent.zip", "vendor");
  ScratchDir build;
  std::string url = s.nginxUrl + "vendor-agent.zip";
  Result r = configure(build.path(), {"-DSETUP_RELEASE_TAG=R9", "-DSETUP_PLATFORM_TAG=lin64",
                                      "-DSETUP_INSTALL_AGENT_URL=" + url,
                                      "-DSETUP_CACHE_DIR=.vendor/cache//"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = sh({"cmake", "--build", build.path(), "--target", "setup", "-j2"});
  ASSERT_EQ(r.status, 0) << r.out;
  World w;
  fs::copy_file(build / "setup", w.program, fs::copy_options::overwrite_existing);
  w.env["CURL_CA_BUNDLE"] = s.cert;
  r = w.run(kHostile);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(w.args(), ElementsAreArray(w.expected(kHostile)));
  EXPECT_EQ(readFile(w.home + "/.vendor/cache/.validatestring"),
            Servers::etag(s.www + "/vendor-agent.zip"));
  EXPECT_FALSE(pathExists(w.home + "/.korvex"));
  // The run-time override still wins over the built-in address.
  w.download(s.nginxUrl + s.publish("override.zip", "override").substr(s.www.size() + 1));
  ASSERT_EQ(w.run().status, 0);
  EXPECT_THAT(w.runs(), ElementsAreArray(Strings{"vendor", "override"}));
}

TEST(KitInstall, InstalledProgramRunsWithItsWindowModule) {
  ScratchDir prefix;
  ASSERT_EQ(sh({"cmake", "--install", BUILD_DIR, "--prefix", prefix.path()}).status, 0);
  World w;
  w.program = prefix / "bin/setup";
  w.download(servers().nginxUrl + "installed.zip");
  servers().publish("installed.zip", "installed");
  EXPECT_EQ(pathExists(prefix / "lib/setup/libsetup-gtk.so"), HAVE_GTK_MODULE);
  Result r = w.run({"x"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(w.args(), ElementsAreArray(Strings{"-installbundle", prefix / "bin/bundle.zip",
                                                  "x"}));
  EXPECT_THAT(r.err, HasSubstr("Downloading"));  // no display: the terminal one
  if (!HAVE_GTK_MODULE || sh({"sh", "-c", "command -v Xvfb"}).status != 0)
    GTEST_SKIP() << "no window module or no Xvfb";
  Xvfb x;
  w.env["DISPLAY"] = x.display();
  fs::remove_all(w.cache());
  r = w.run({"y"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(userArgs(w), ElementsAreArray(Strings{"y"}));
  EXPECT_THAT(r.err, testing::Not(HasSubstr("Downloading")));  // the window, from lib/setup
}

// Inputs for the bundle maker, made with the real zip and minisign.
struct Kit {
  ScratchDir dir;
  std::string out = dir / "out", zip = dir / "bundle.zip", agent = dir / "agent.zip",
              keys = dir / "keys.pub", splash = std::string(SOURCE_DIR) + "/demo/splash.png";
  Kit() {
    makeZip(zip, {{"product.txt", "the product"}});
    makeZip(agent, {{"install", agentScript("local")}});
    std::string make = "minisign -G -W -p " + dir / "k1" + " -s " + dir / "s1" + " >/dev/null &&" +
                       " minisign -G -W -p " + dir / "k2" + " -s " + dir / "s2" + " >/dev/null";
    if (system(make.c_str()) != 0) throw std::runtime_error("minisign -G failed");
    // Two keys (the current and the next), blank lines and CRLF line ends.
    std::string both = readFile(dir / "k1") + "\n\n" + readFile(dir / "k2"), crlf;
    for (char c : both) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    writeFile(keys, crlf);
  }
  Result make(Strings args) const {
    args.insert(args.begin(), {MAKE_BUNDLE, "--program", SETUP_BINARY});
    return sh(args);
  }
};

TEST(KitBundle, FlatAppAndSingleFileRunTheAgentWithExactArguments) {
  Kit kit;
  World w;
  Strings module = HAVE_GTK_MODULE ? Strings{"libsetup-gtk.so"} : Strings{};
  Strings flat = {"InstallAgent.pub", "InstallAgent.zip", "bundle.zip", "setup", "splash.png"};
  flat.insert(flat.begin() + 3, module.begin(), module.end());
  Result r = kit.make({"--out", kit.out, "--bundle-zip", kit.zip, "--agent", kit.agent, "--keys",
                       kit.keys, "--splash", kit.splash, "--run", kit.dir / "one.run"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(tree(kit.out), ElementsAreArray(flat));
  EXPECT_EQ(readFile(kit.out + "/InstallAgent.pub"), readFile(kit.keys));
  for (Strings argv : {Strings{"sh", kit.dir / "one.run", "--"}, Strings{kit.dir / "one.run", "--"},
                       Strings{kit.out + "/setup"}}) {
    argv.insert(argv.end(), kHostile.begin(), kHostile.end());
    r = runSetup(w.env, argv);
    ASSERT_EQ(r.status, 0) << argv[0] << r.err << r.out;
    EXPECT_THAT(userArgs(w), ElementsAreArray(kHostile)) << argv[0];
    EXPECT_EQ(tree(w.tmp), Strings{}) << "left behind by " << argv[0];
  }
  std::string app = kit.out + "/Odd 'Name'.app/Contents/";
  r = kit.make({"--out", kit.out, "--name", "Odd 'Name'", "--bundle-zip", kit.zip});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(pathExists(app + "MacOS/libsetup-gtk.so"), HAVE_GTK_MODULE);
  w.download(servers().nginxUrl + "app-agent.zip");
  servers().publish("app-agent.zip", "app");
  ASSERT_EQ(runSetup(w.env, {app + "MacOS/setup", "z"}).status, 0);
  EXPECT_THAT(w.args(),
              ElementsAreArray(Strings{"-installbundle", app + "Resources/bundle.zip", "z"}));
}

TEST(KitBundle, RefusesBadInputsAndExistingOutputsWithOneLine) {
  Kit kit;
  writeFile(kit.dir / "text", "untrusted comment: not a zip\nRWQ\n");
  writeFile(kit.dir / "noEd.pub", "untrusted comment: x\n" + std::string(56, 'A') + "\n");
  Strings base = {"--out", kit.out, "--bundle-zip", kit.zip};
  auto with = [&](Strings more) {
    return more.insert(more.begin(), base.begin(), base.end()), more;
  };
  struct Case { Strings args; const char* message; } cases[] = {
      {{"--bundle-zip", kit.zip}, "--out DIR is required"},
      {{"--out", kit.out}, "--bundle-zip FILE is required"},
      {with({"--out"}), "--out needs a value"},
      {{"--out", kit.out, "--bundle-zip", kit.dir / "none.zip"}, "no such readable file"},
      {{"--out", kit.out, "--bundle-zip", kit.dir / "text"}, "is not a zip archive"},
      {with({"--splash", kit.zip}), "is not a PNG image"},
      {with({"--agent", kit.zip}), "no 'install' script"},
      {with({"--keys", kit.dir / "text"}), "line 2 is not a minisign public key"},
      {with({"--keys", kit.dir / "noEd.pub"}), "line 2 is not a minisign public key"},
      {with({"--keys", kit.zip}), "is not an \"untrusted comment:\" line"},
      {with({"--name", "a/b"}), "has '/'"},
      {with({"--run", kit.zip}), "exists (--force replaces it)"},
  };
  for (const Case& c : cases) {
    Result r = kit.make(c.args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_THAT(r.err, testing::StartsWith("make-bundle: "));
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_FALSE(pathExists(kit.out)) << c.message;
  }
  ASSERT_EQ(kit.make(with({"--agent", kit.agent})).status, 0);
  EXPECT_THAT(kit.make(base).err, HasSubstr("exists and is not empty (--force"));
  EXPECT_TRUE(pathExists(kit.out + "/InstallAgent.zip"));
  ASSERT_EQ(kit.make(with({"--force"})).status, 0);  // replaced: the agent is gone
  EXPECT_FALSE(pathExists(kit.out + "/InstallAgent.zip"));
  EXPECT_THAT(kit.make({"--out", kit.dir.path(), "--bundle-zip", kit.zip, "--force"}).err,
              HasSubstr("is not a bundle"));
}
