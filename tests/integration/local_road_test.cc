// The program with an agent archive beside it: unpacks it into a private
// run directory, hands it the bundle and the user's arguments through the
// shell, and cleans up after it.

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/integration/harness.h"
#include "tests/integration/scenario.h"

namespace it {
namespace {

// Files an injected command would have made; none may ever exist.
std::vector<std::string> canariesUnder(const std::string& root) {
  std::vector<std::string> found;
  for (const std::string& path : findNamesContaining(root, "CANARY")) {
    std::string name = path.substr(path.rfind('/') + 1);
    if (name.compare(0, 6, "CANARY") == 0) found.push_back(path);
  }
  return found;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// -------------------------------------------------------------- layouts

class LocalLayout : public ::testing::TestWithParam<bool> {};

TEST_P(LocalLayout, HandsTheAgentTheBundleAndEveryArgumentUnchanged) {
  Scenario::Options options;
  options.appLayout = GetParam();
  Scenario s(options);
  s.withLocalAgent({});

  RunResult r = s.run(hostileArguments());

  ASSERT_EQ(r.exitCode, 0) << r.describe();
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  AgentRecord agent = s.agent();
  ASSERT_TRUE(agent.ran) << r.describe();
  EXPECT_EQ(agent.args, s.expectedAgentArgs(hostileArguments()))
      << "got " << printable(agent.args);
  EXPECT_EQ(agent.runs.size(), 1u);
  // Unpacked into a private run directory in TMPDIR, gone afterwards.
  EXPECT_TRUE(startsWith(agent.self, s.tmp() + "/zv")) << printable(agent.self);
  EXPECT_EQ(agent.self.substr(agent.self.rfind('/')), "/install");
  EXPECT_TRUE(s.leftoverRunDirs().empty()) << printable(s.leftoverRunDirs());
  EXPECT_TRUE(canariesUnder(s.root()).empty()) << printable(canariesUnder(s.root()));
}

TEST_P(LocalLayout, WithoutUserArgumentsTheAgentGetsOnlyTheBundle) {
  Scenario::Options options;
  options.appLayout = GetParam();
  Scenario s(options);
  s.withLocalAgent({});

  RunResult r = s.run();

  ASSERT_EQ(r.exitCode, 0) << r.describe();
  EXPECT_EQ(s.agent().args, s.expectedAgentArgs({})) << printable(s.agent().args);
}

INSTANTIATE_TEST_SUITE_P(Layouts, LocalLayout, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("AppBundle") : std::string("PlainDir");
                         });

// -------------------------------------------------------------- archive choice

TEST(LocalRoad, UsesAnArchiveNamedInstallAgentUnderscoreAnything) {
  Scenario s;
  s.withLocalAgent({"named"}, "InstallAgent_R7-linux.zip");

  RunResult r = s.run({"x"});

  ASSERT_EQ(r.exitCode, 0) << r.describe();
  EXPECT_EQ(s.agent().runs, std::vector<std::string>{"named"});
  EXPECT_EQ(s.agent().args, s.expectedAgentArgs({"x"}));
}

TEST(LocalRoad, PrefersInstallAgentZipOverANamedOne) {
  Scenario s;
  s.withLocalAgent({"named"}, "InstallAgent_A.zip");
  s.withLocalAgent({"plain"}, "InstallAgent.zip");
  s.withLocalAgent({"named"}, "InstallAgent_Z.zip");

  RunResult r = s.run();

  ASSERT_EQ(r.exitCode, 0) << r.describe();
  EXPECT_EQ(s.agent().runs, std::vector<std::string>{"plain"});
}

TEST(LocalRoad, FindsResourcesThroughTheRealProgramPathWhenStartedViaASymlink) {
  Scenario s;
  s.withLocalAgent({});
  std::string link = s.cwd() + "/setup-link";
  ASSERT_EQ(symlink(s.bundle().program.c_str(), link.c_str()), 0);

  RunResult r = it::run({link, "arg"}, s.env(), s.cwd());

  ASSERT_EQ(r.exitCode, 0) << r.describe();
  EXPECT_EQ(s.agent().args, s.expectedAgentArgs({"arg"})) << printable(s.agent().args);
}

TEST(LocalRoad, ExitsZeroWhateverTheAgentReturns) {
  for (int status : {1, 2, 77, 255}) {
    SCOPED_TRACE("agent exit status " + std::to_string(status));
    Scenario s;
    AgentSpec spec;
    spec.exitStatus = status;
    s.withLocalAgent(spec);

    RunResult r = s.run({"a"});

    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(s.agent().ran);
    EXPECT_TRUE(s.leftoverRunDirs().empty());
  }
}

TEST(LocalRoad, UnsetOrEmptyTmpdirMeansSlashTmp) {
  for (bool empty : {false, true}) {
    SCOPED_TRACE(empty ? "TMPDIR empty" : "TMPDIR unset");
    Scenario s;
    s.withLocalAgent({});
    if (empty)
      s.env().set("TMPDIR", "");
    else
      s.env().unset("TMPDIR");

    RunResult r = s.run({"a"});

    ASSERT_EQ(r.exitCode, 0) << r.describe();
    std::string self = s.agent().self;
    ASSERT_TRUE(startsWith(self, "/tmp/zv")) << printable(self);
    std::string runDir = self.substr(0, self.find('/', 5));
    EXPECT_FALSE(exists(runDir)) << runDir << " was left behind";
  }
}

// -------------------------------------------------------------- hostile paths

struct HostilePathCase {
  const char* name;
  bool hostileResources;
  bool hostileTmp;
  bool hostileHome;
  bool appLayout;
};

// One path component that breaks every way of building a shell command by
// pasting text, and leaves a file behind where it is run.
const char kHostileName[] =
    "x $(touch CANARY-dollar) `touch CANARY-back`;touch CANARY-semi 'q\" \nnl &";

class HostilePaths : public ::testing::TestWithParam<HostilePathCase> {};

TEST_P(HostilePaths, WorkAndRunNothingButTheAgent) {
  const HostilePathCase& c = GetParam();
  Scenario::Options options;
  options.appLayout = c.appLayout;
  if (c.hostileResources) options.bundleName = kHostileName;
  if (c.hostileTmp) options.tmpName = std::string("tmp ") + kHostileName;
  if (c.hostileHome) options.homeName = std::string("home ") + kHostileName;
  Scenario s(options);
  s.withLocalAgent({});

  RunResult r = s.run({"one", "two words"});

  ASSERT_EQ(r.exitCode, 0) << r.describe();
  EXPECT_EQ(r.err, "");
  AgentRecord agent = s.agent();
  ASSERT_TRUE(agent.ran) << r.describe();
  EXPECT_EQ(agent.args, s.expectedAgentArgs({"one", "two words"})) << printable(agent.args);
  EXPECT_TRUE(startsWith(agent.self, s.tmp() + "/zv")) << printable(agent.self);
  EXPECT_TRUE(s.leftoverRunDirs().empty()) << printable(s.leftoverRunDirs());
  EXPECT_TRUE(canariesUnder(s.root()).empty()) << printable(canariesUnder(s.root()));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, HostilePaths,
    ::testing::Values(HostilePathCase{"ResourceDir", true, false, false, false},
                      HostilePathCase{"AppBundleDir", true, false, false, true},
                      HostilePathCase{"Tmpdir", false, true, false, false},
                      HostilePathCase{"Home", false, false, true, false},
                      HostilePathCase{"All", true, true, true, true}),
    [](const ::testing::TestParamInfo<HostilePathCase>& info) {
      return std::string(info.param.name);
    });

// -------------------------------------------------------------- failures

struct LocalFailureCase {
  const char* name;
  // Prepares the scenario's resources (and environment) to fail.
  void (*prepare)(Scenario& s);
};

void corruptArchive(Scenario& s) {
  writeFile(s.bundle().resources + "/InstallAgent.zip", randomBytes(20000));
}

void truncatedArchive(Scenario& s) {
  AgentSpec spec;
  spec.payloadBytes = 200000;
  std::string zip = s.bundle().resources + "/InstallAgent.zip";
  makeAgentZip(spec, zip);
  std::string bytes = readFile(zip);
  writeFile(zip, bytes.substr(0, bytes.size() / 2));
}

void directoryNamedLikeTheArchive(Scenario& s) {
  makeDirs(s.bundle().resources + "/InstallAgent.zip");
  writeFile(s.bundle().resources + "/InstallAgent.zip/install", agentScript({}), 0755);
}

// A PATH on which the shell finds itself but no unzip.
void noUnzipOnPath(Scenario& s) {
  makeAgentZip({}, s.bundle().resources + "/InstallAgent.zip");
  std::string bin = s.root() + "/bin-without-unzip";
  makeDirs(bin);
  if (symlink("/bin/sh", (bin + "/sh").c_str()) != 0) throw std::runtime_error("symlink");
  s.env().set("PATH", bin);
}

class LocalFailures : public ::testing::TestWithParam<LocalFailureCase> {};

TEST_P(LocalFailures, ReportInOrderAndExit255) {
  Scenario s;
  GetParam().prepare(s);

  RunResult r = s.run({"a"});

  EXPECT_EQ(r.exitCode, 255) << r.describe();
  EXPECT_EQ(r.out, "");
  // Whatever unzip or the shell said first, the program's own lines end it.
  EXPECT_TRUE(endsWithLines(r.err, {"Failed to unzip the install agent",
                                    "Failed to initialize the install agent.",
                                    "Installation failed."}))
      << r.describe();
  EXPECT_FALSE(s.agent().ran);
  EXPECT_TRUE(s.agent().runs.empty());
  EXPECT_TRUE(s.leftoverRunDirs().empty()) << printable(s.leftoverRunDirs());
}

INSTANTIATE_TEST_SUITE_P(
    Archives, LocalFailures,
    ::testing::Values(LocalFailureCase{"CorruptArchive", corruptArchive},
                      LocalFailureCase{"TruncatedArchive", truncatedArchive},
                      LocalFailureCase{"DirectoryNamedInstallAgentZip",
                                       directoryNamedLikeTheArchive},
                      LocalFailureCase{"NoUnzipOnPath", noUnzipOnPath}),
    [](const ::testing::TestParamInfo<LocalFailureCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace it
