#include "tests/integration/scenario.h"

#include <memory>

#include "tests/integration/servers.h"

namespace it {

Scenario::Scenario(const Options& options) : root_("setup-it-run") {
  home_ = root_ / options.homeName;
  tmp_ = root_ / options.tmpName;
  cwd_ = root_ / "cwd";
  out_ = root_ / "agent-out";
  for (const std::string& dir : {home_, tmp_, cwd_, out_}) makeDirs(dir, 0700);
  bundle_ = makeBundle(root_.path(), options.bundleName, options.appLayout);
  env_.set("HOME", home_).set("TMPDIR", tmp_).set("AGENT_OUT", out_);
  // Failing transfers should fail within seconds, not a minute.
  env_.set("SETUP_IDLE_TIMEOUT", "2");
}

Scenario& Scenario::downloadFrom(const std::string& url) {
  env_.set("CURL_CA_BUNDLE", Pki::get().caCert);
  env_.set("ZV_INTERNAL_INSTALL_AGENT_URL", url);
  return *this;
}

Scenario& Scenario::withLocalAgent(const AgentSpec& spec, const std::string& name) {
  makeAgentZip(spec, bundle_.resources + "/" + name);
  return *this;
}

std::vector<std::string> Scenario::argv(const std::vector<std::string>& userArgs) const {
  std::vector<std::string> argv = {bundle_.program};
  argv.insert(argv.end(), userArgs.begin(), userArgs.end());
  return argv;
}

RunResult Scenario::run(const std::vector<std::string>& userArgs, double timeout) const {
  return it::run(argv(userArgs), env_, cwd_, timeout);
}

std::unique_ptr<Process> Scenario::start(const std::vector<std::string>& userArgs) const {
  Process::Options options;
  options.cwd = cwd_;
  return std::make_unique<Process>(argv(userArgs), env_, options);
}

std::vector<std::string> Scenario::expectedAgentArgs(
    const std::vector<std::string>& userArgs) const {
  std::vector<std::string> args = {"-installbundle", bundle_.bundleZip()};
  args.insert(args.end(), userArgs.begin(), userArgs.end());
  return args;
}

std::vector<std::string> Scenario::leftoverScratch() const {
  std::vector<std::string> found = entriesStartingWith(cacheDir(), ".staging-");
  std::vector<std::string> retired = entriesStartingWith(cacheDir(), ".retired-");
  found.insert(found.end(), retired.begin(), retired.end());
  return found;
}

void Scenario::forgetAgentRecord() {
  removeTree(out_);
  makeDirs(out_, 0700);
}

const std::vector<std::string>& hostileArguments() {
  static const std::vector<std::string> args = {
      "plain",
      "two words",
      "",
      "it's",
      "say \"hi\"",
      "$HOME",
      "${PATH}",
      "`touch CANARY-backquote`",
      "$(touch CANARY-dollar)",
      "a;touch CANARY-semicolon",
      "line one\nline two",
      "tab\there",
      "*",
      "back\\slash",
      "'",
      "\"",
      "-installbundle",
      "a|b&c>d<e",
      "\xc3\xa9t\xc3\xa9",
      "trailing newline\n",
      "",
  };
  return args;
}

}  // namespace it
