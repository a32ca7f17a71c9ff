#ifndef SETUP_AGENT_CACHE_H_
#define SETUP_AGENT_CACHE_H_

#include <string>

// The per-user cache: HOME (else /tmp) + INSTALLER_CACHE_DIR, always ending
// in "/". A downloaded agent lives unpacked in its "installagent" directory,
// stamped by ".validatestring", which holds the ETag it was downloaded with.

// The cache directory, never empty, ending in "/".
std::string getInstallAgentCacheDir();

// The cache directory's "installagent/" when its "install" exists and the
// cache is private; otherwise the empty string.
std::string installAgentDirOnDisk();

// |directory| + "/install" (no separator added when it already ends in "/").
std::string getInstallAgentExecutable(std::string directory);

// True when the stamp in |directory| has |validationString| as its first
// line, byte for byte. Never true for an empty string or a cache that is
// not private.
bool isCacheValid(std::string directory, std::string validationString);

// The first line of the stamp in |directory|; empty when there is none or
// the cache is not private.
std::string readValidationString(std::string directory);

// Replaces the stamp in |directory| atomically with |validationString|.
// Does nothing for an empty string or a cache that is not private.
void writeValidationString(std::string directory, std::string validationString);

// Removes the stamp in |directory|, so the cache reads as not current.
void removeValidationString(std::string directory);

// True when every directory from the cache root (".korvex") down to the
// cache directory is a real directory, owned by the effective user and not
// writable by group or others. Another user cannot then plant an agent.
bool isCachePrivate();

// A fresh directory inside the cache directory to unpack a new agent into
// (its name cannot clash with "installagent"). Staging directories left by
// runs that died are removed first. Empty when none could be made.
std::string makeStagingDir();

// Makes the agent unpacked in |staging| the cached agent, replacing an older
// one, then stamps it with |validationString| (no stamp when it is empty);
// when a concurrent run has just placed the agent of the same stamp, that
// one is kept and |staging| dropped. A run killed at any instant leaves no
// agent, an agent without a matching stamp, or a complete agent with its
// stamp. Returns false, with |staging| removed, when nothing could be placed.
bool installStagedAgent(const std::string& staging, const std::string& validationString);

// True when the cached agent is stamped with |validationString|; otherwise
// removes the cached agent (a stale one) and returns false.
bool keepCachedAgentIfCurrent(const std::string& validationString);

// Moves the cached agent out of the way and removes it (the stamp stays).
void removeCachedAgent();

#endif  // SETUP_AGENT_CACHE_H_
