#ifndef SETUP_AGENT_DELTA_PLAN_H_
#define SETUP_AGENT_DELTA_PLAN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "agent/zip_directory.h"

// How a new archive is rebuilt from a kept archive of an earlier agent and
// byte ranges of the new one, entry by entry from the two central
// directories. The rebuilt file is trusted only once its signature checks:
// a plan may be wrong (a packer that writes local headers differently from
// what the directories show) but never unsafe.

// Bytes of the new file at [at, at + length): copied from the kept file at
// |from|, or fetched from the server (from -1).
struct DeltaSpan {
  int64_t at = 0;
  int64_t length = 0;
  int64_t from = -1;
  bool fetched() const { return from < 0; }
};

// At most this many ranges to fetch for one update, over HTTP/2 a request
// each. An agent of 4,000 files whose every time changed needs one range
// per file, and over HTTP/2 that still takes a thirtieth of a whole
// download's time; a plan that needs more than this is a far larger agent,
// or a directory made to turn one archive into a flood of requests at the
// server: past it the archive is downloaded whole, in one request.
constexpr int kDeltaMaxRequests = 10000;

struct DeltaPlan {
  // Cover [0, end) of the new file in order, fetched spans that touch
  // merged into one.
  std::vector<DeltaSpan> spans;
  int64_t fetchBytes = 0, copyBytes = 0;
  int copied = 0, headersFetched = 0, entriesFetched = 0;
  int fetchRanges() const;
};

// What a request for ranges costs on the link: its bytes at the measured
// rate, and a round trip for each request, of which this many run at once.
// Over HTTP/2 every range is a stream of one connection; over HTTP/1.1 a
// request asks for up to kRangesPerRequest ranges, on a few connections.
constexpr int kStreamsAtOnce = 64;
constexpr int kConnectionsAtOnce = 4;
constexpr int kRangesPerRequest = 200;  // Apache's MaxRanges by default

struct LinkEstimate {
  double bytesPerSecond = 0;  // 0: unknown
  double roundTrip = 0;       // seconds from a request to its answer; 0: unknown
};

// The estimated seconds to fetch |plan|'s ranges (the slower of the two
// protocols, and a round trip to learn which it is) and to download the
// |whole| archive in one request. An unknown rate counts as 4 MB/s and an
// unknown round trip as 0.1 s; only their ratio decides.
struct DeltaTimes {
  double delta = 0, whole = 0;
};
DeltaTimes estimateDelta(const DeltaPlan& plan, int64_t whole, const LinkEstimate& link);

// Whether the delta is the faster way: however much of the archive it
// fetches, as long as its time beats the whole download's.
inline bool deltaPays(const DeltaTimes& times) { return times.delta < times.whole; }

// The suffix to ask for first when |keptArchive| (an earlier release of
// the same agent) may be updated: its directory and end records, a quarter
// more and 4 KiB for entries a new release adds. kZipSuggestedTail when it
// cannot be read.
int64_t suffixForUpdate(const std::string& keptArchive);

// Plans the new archive's bytes before |end| (where its end, already
// fetched, begins). An entry of the same name is copied whole when its data
// and local header must be the same: same CRC-32, sizes, method, time,
// flags, central extra field and span length, no data descriptor, and a
// kept local header that holds nothing the directory lacks (an access time
// would differ). Only its local header is fetched when just the header may
// differ; anything else is fetched. False with |why| when the kept archive
// is not to be trusted for it: data in front of either archive, an
// encrypted entry, a name given twice or spans that overlap in either
// directory (each kept byte is copied at most once), a kept local header
// that cannot be read or disagrees with its directory, or more fetched
// ranges than kDeltaMaxRequests.
bool planDelta(const ZipDirectory& kept, const std::string& keptPath, const ZipDirectory& fresh,
               int64_t end, DeltaPlan* plan, std::string* why);

#endif  // SETUP_AGENT_DELTA_PLAN_H_
