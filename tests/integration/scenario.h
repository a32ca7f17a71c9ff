#ifndef SETUP_TESTS_INTEGRATION_SCENARIO_H_
#define SETUP_TESTS_INTEGRATION_SCENARIO_H_

// One run's world: a fresh HOME, TMPDIR, working directory and agent record
// directory inside one temporary directory, a copy of the program with its
// resources, and the environment to start it in.

#include <string>
#include <vector>

#include "tests/integration/harness.h"

namespace it {

// Where the program keeps its cache below HOME.
inline const char kCacheBelowHome[] = "/.korvex/app_installer_cache/V3104k/maci64";
// The levels of that path the program makes and checks, outermost first.
inline const std::vector<std::string> kCacheLevels = {
    "/.korvex", "/.korvex/app_installer_cache", "/.korvex/app_installer_cache/V3104k",
    "/.korvex/app_installer_cache/V3104k/maci64"};

class Scenario {
 public:
  struct Options {
    bool appLayout = false;
    std::string bundleName = "product";
    // Directory names for HOME and TMPDIR below the scenario's root.
    std::string homeName = "home";
    std::string tmpName = "tmp";
  };

  Scenario() : Scenario(Options()) {}
  explicit Scenario(const Options& options);

  const std::string& root() const { return root_.path(); }
  const Bundle& bundle() const { return bundle_; }
  const std::string& home() const { return home_; }
  const std::string& tmp() const { return tmp_; }
  const std::string& cwd() const { return cwd_; }
  const std::string& agentOut() const { return out_; }
  std::string cacheDir() const { return home_ + kCacheBelowHome; }
  std::string stampPath() const { return cacheDir() + "/.validatestring"; }
  std::string cachedAgent() const { return cacheDir() + "/installagent/install"; }
  Environment& env() { return env_; }

  // Trust the test authority and fetch the agent from |url|.
  Scenario& downloadFrom(const std::string& url);
  // Puts an agent archive named |name| into the resource directory.
  Scenario& withLocalAgent(const AgentSpec& spec, const std::string& name = "InstallAgent.zip");

  std::vector<std::string> argv(const std::vector<std::string>& userArgs) const;
  RunResult run(const std::vector<std::string>& userArgs = {}, double timeout = 60) const;
  // Started, not waited for.
  std::unique_ptr<Process> start(const std::vector<std::string>& userArgs = {}) const;

  AgentRecord agent() const { return readAgentRecord(out_); }
  // What the agent must have been given for |userArgs|.
  std::vector<std::string> expectedAgentArgs(const std::vector<std::string>& userArgs) const;
  // Run directories the program left in TMPDIR.
  std::vector<std::string> leftoverRunDirs() const { return entriesStartingWith(tmp_, "zv"); }
  // Scratch directories left in the cache.
  std::vector<std::string> leftoverScratch() const;
  void forgetAgentRecord();

 private:
  TempDir root_;
  Bundle bundle_;
  std::string home_, tmp_, cwd_, out_;
  Environment env_;
};

// User arguments that a shell would mangle in every way it can.
const std::vector<std::string>& hostileArguments();

}  // namespace it

#endif  // SETUP_TESTS_INTEGRATION_SCENARIO_H_
