#ifndef SETUP_AGENT_CACHE_H_
#define SETUP_AGENT_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "util/translation.h"

// The per-user cache: HOME (else /tmp) + INSTALLER_CACHE_DIR, always ending
// in "/". A downloaded agent lives unpacked in its "installagent" directory,
// stamped by ".validatestring", which holds the ETag it was downloaded with.
// Whether the cache is private is decided once per run (isCachePrivate);
// every function below except getInstallAgentCacheDir and
// getInstallAgentExecutable is for a private cache only.

// The cache directory, never empty, ending in "/".
std::string getInstallAgentCacheDir();

// The cache directory's "installagent/" when it is a real directory of the
// user's (not a symbolic link) holding "install"; otherwise the empty string.
std::string installAgentDirOnDisk();

// |directory| + "/install" (no separator added when it already ends in "/").
std::string getInstallAgentExecutable(std::string directory);

// Whether the agent unpacked in |directory| has its "install" script there,
// as a regular file (a symbolic link to one counts).
bool holdsInstallScript(const std::string& directory);
// What a run says of an archive that unpacked but holds no "install" script
// at its top level.
inline constexpr char kNoInstallScript[] =
    N_("The installer archive has no install script at its top level.");

// True when the stamp in |directory| has |validationString| as its first
// line, byte for byte. Never true for an empty string, nor for a stamp that
// is not a regular file (a link, a FIFO) or whose first line is longer than
// kMaxValidationStringLength.
bool isCacheValid(std::string directory, std::string validationString);

// The first line of the stamp in |directory|; empty when there is none or
// the cache is not private.
std::string readValidationString(std::string directory);

// Replaces the stamp in |directory| atomically with |validationString|.
// Does nothing for an empty string.
void writeValidationString(std::string directory, std::string validationString);

// Removes the stamp in |directory|, so the cache reads as not current.
void removeValidationString(std::string directory);

// True when every directory from the cache root (".korvex") down to the
// cache directory is a real directory, owned by the effective user and not
// writable by group or others. Another user cannot then plant an agent.
bool isCachePrivate();

// What stamps an agent: the response's ETag; without one its Last-Modified
// date, as "Last-Modified: <date>" (no ETag begins so); else nothing.
std::string validationStringFor(const std::string& etag, const std::string& lastModified);
// The date of a stamp made from Last-Modified; empty for an ETag's stamp.
std::string stampedDate(const std::string& validationString);

// No real ETag is longer; a stamp line beyond it never matches.
constexpr size_t kMaxValidationStringLength = 8192;

// A fresh directory inside the cache directory to unpack a new agent into
// (its name cannot clash with "installagent"). Staging directories left by
// runs that died are removed first. Empty when none could be made.
std::string makeStagingDir();

// The directory an agent is started from, kept whole while the hold lives:
// a shared lock on it stops every run from swapping out or removing it. A
// staging directory run in place of the cached agent is removed when the
// hold ends. Move-only.
class AgentHold {
 public:
  AgentHold() = default;
  AgentHold(std::string dir, int lockFd, bool removeWhenDone);
  AgentHold(AgentHold&& other) noexcept { *this = std::move(other); }
  AgentHold& operator=(AgentHold&& other) noexcept;
  ~AgentHold() { release(); }
  // The agent directory, ending in "/"; empty when there is none.
  const std::string& dir() const { return dir_; }
  // An empty hold because the agent had no "install" script (see
  // installStagedAgent).
  static AgentHold withoutInstallScript();
  bool lacksInstallScript() const { return lacksInstallScript_; }
  // Programs started from now on inherit the lock, so that the agent keeps
  // its directory whole for as long as it runs, even when this program has
  // died.
  void shareWithChildren();

 private:
  void release();
  std::string dir_;
  int lockFd_ = -1;
  bool removeWhenDone_ = false;
  bool lacksInstallScript_ = false;
};

// Makes the agent unpacked in |staging| the cached agent, replacing an older
// one, then stamps it with |validationString| (no stamp when it is empty);
// when a concurrent run has just placed the agent of the same stamp, that
// one is kept and |staging| dropped. When the cached agent is in use by a
// running agent, nothing in the cache changes: the hold names |staging|
// itself, removed when the hold ends. A run killed at any instant leaves no
// agent, an agent without a matching stamp, or a complete agent with its
// stamp. An empty hold, with |staging| removed, when nothing could be placed;
// when |staging| holds no "install" script, nothing in the cache changes and
// the empty hold says so (lacksInstallScript). |signature|, when not empty,
// is kept beside the agent (see readAgentSignature) before the stamp is
// written.
AgentHold installStagedAgent(const std::string& staging, const std::string& validationString,
                             const std::string& signature = "");

// The signature the cached agent was checked with; empty when there is none.
std::string readAgentSignature();
// The URL the cached agent was downloaded from, kept beside its signature:
// another host gives the same archive another ETag, so the stamp names
// the agent only on that host. Empty when none was kept.
std::string readAgentSource();
void writeAgentSource(const std::string& url);
// When that signature was kept (Unix time by this machine's clock); 0 when
// there is none.
int64_t agentSignatureTime();

// A hold on the cached agent when it is stamped with |validationString|;
// otherwise an empty hold, the stale agent removed (with |removeStale|)
// unless it is in use.
AgentHold holdCachedAgentIfCurrent(const std::string& validationString, bool removeStale = true);

// Moves the cached agent out of the way and removes it with its stamp,
// unless it is in use.
void removeCachedAgent();

// The signed archive the cached agent was unpacked from, kept for updates
// by delta: "installagent.zip" in the cache directory. Its signature is the
// cached agent's (readAgentSignature).
std::string keptArchivePath();

// A kept archive of another release's cache, with its signature text.
struct KeptArchive {
  std::string archive, signature;
  int64_t modified = 0;
};
// The kept archives in the caches of other releases: the directories that
// differ from this one's only in the release tag; newest first. Nothing is
// written there.
std::vector<KeptArchive> otherReleasesKeptArchives();

#endif  // SETUP_AGENT_CACHE_H_
