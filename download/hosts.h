#ifndef SETUP_DOWNLOAD_HOSTS_H_
#define SETUP_DOWNLOAD_HOSTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "download/fetch.h"

// The hosts one archive may come from, in the order they are tried: the
// main URL, then the build's mirrors, then those a server names as
// duplicates of the archive (Link: rel=duplicate). Only a signature can
// vouch for an archive another host serves: without keys, the main URL
// alone. A host whose archive failed its signature is never tried again in
// the run.
class Hosts {
 public:
  // No more are kept, whatever the servers name.
  static constexpr size_t kMaxHosts = 8;

  Hosts() = default;
  // |mirrors|: https URLs after |main| (others are left out, and so are
  // repeats); used only when |signedArchive|.
  Hosts(const std::string& main, const std::vector<std::string>& mirrors, bool signedArchive);

  const std::string& current() const { return urls_[at_]; }
  // Adds the https URLs not yet known (while there is room, never without
  // keys); returns how many were added.
  size_t add(const std::vector<std::string>& urls);
  // Whether a host not yet tried waits after the current one.
  bool hasNext() const;
  // Those hosts, in order: they may bring parts of the current host's
  // archive at once.
  std::vector<std::string> following() const;
  // Moves to the next host not dropped; false (staying) when none is left.
  bool next();
  // The current host's archive failed its signature: it is left out for
  // the rest of the run. Then as next().
  bool drop();
  // Back to the first host not dropped (Try Again); false when none is left.
  bool restart();
  size_t size() const { return urls_.size(); }

  // Whether a fetch that failed so is worth another host: anything but
  // the local disk failing, which another host cannot mend.
  static bool handsOver(FetchFailure failure);

 private:
  bool moveFrom(size_t index);
  bool signed_ = false;
  std::vector<std::string> urls_{""};
  std::vector<bool> dropped_{false};
  size_t at_ = 0;
};

// The URLs of a blank-separated list (the build's mirrors).
std::vector<std::string> splitUrls(const std::string& text);

#endif  // SETUP_DOWNLOAD_HOSTS_H_
