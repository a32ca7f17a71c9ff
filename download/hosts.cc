#include "download/hosts.h"

#include <strings.h>

#include <algorithm>
#include <sstream>

namespace {

bool isHttpsUrl(const std::string& url) {
  return url.size() > 8 && strncasecmp(url.c_str(), "https://", 8) == 0 &&
         std::none_of(url.begin(), url.end(),
                      [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; });
}

}  // namespace

Hosts::Hosts(const std::string& main, const std::vector<std::string>& mirrors, bool signedArchive)
    : signed_(signedArchive) {
  urls_[0] = main;
  add(mirrors);
}

size_t Hosts::add(const std::vector<std::string>& urls) {
  size_t added = 0;
  for (const std::string& url : urls) {
    if (!signed_ || urls_.size() >= kMaxHosts || !isHttpsUrl(url) ||
        std::find(urls_.begin(), urls_.end(), url) != urls_.end())
      continue;
    urls_.push_back(url);
    dropped_.push_back(false);
    ++added;
  }
  return added;
}

bool Hosts::hasNext() const {
  return std::find(dropped_.begin() + at_ + 1, dropped_.end(), false) != dropped_.end();
}

std::vector<std::string> Hosts::following() const {
  std::vector<std::string> urls;
  for (size_t i = at_ + 1; i < urls_.size(); ++i)
    if (!dropped_[i]) urls.push_back(urls_[i]);
  return urls;
}

bool Hosts::moveFrom(size_t index) {
  for (size_t i = index; i < urls_.size(); ++i)
    if (!dropped_[i]) return at_ = i, true;
  return false;
}

bool Hosts::next() { return moveFrom(at_ + 1); }

bool Hosts::drop() {
  dropped_[at_] = true;
  return next();
}

bool Hosts::restart() { return moveFrom(0); }

bool Hosts::handsOver(FetchFailure failure) { return failure != FetchFailure::kLocalWrite; }

std::vector<std::string> splitUrls(const std::string& text) {
  std::vector<std::string> urls;
  std::istringstream in(text);
  for (std::string url; in >> url;) urls.push_back(url);
  return urls;
}
