#ifndef SETUP_AGENT_UNPACK_PLAN_H_
#define SETUP_AGENT_UNPACK_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/zip_directory.h"

// How an archive is unpacked by several unzip processes at once: its file
// entries in runs that are contiguous in the file, so that a run can be
// unpacked as soon as the download has passed its last byte, and small
// enough that the runs keep every worker busy to the end.

// One unzip's share: the entries whose bytes lie in [0, end) of the file
// and were not in an earlier batch, named by unzip patterns.
struct UnpackBatch {
  int64_t end = 0;
  int64_t unpackedBytes = 0;
  std::vector<std::string> members;
};

struct UnpackPlan {
  // Every directory an entry lies in, and the directory entries, relative
  // and parents first: made before any unzip starts, so that no two race
  // to make one.
  std::vector<std::string> directories;
  std::vector<UnpackBatch> batches;  // in file order
  int64_t unpackedBytes = 0;         // what the entries need on disk
  // The directory entries whose stored mode and times one unzip gives their
  // directories (those it makes at their own entry, not earlier for an
  // entry inside them), as unzip patterns; and their paths, deepest first.
  // Applied once every batch has ended: see unzipDirectoryAttributes.
  std::vector<std::string> attributedMembers;
  std::vector<std::string> attributedDirectories;
};

// Batches per worker: more, smaller ones even out the end of the unpacking
// and leave less of it after the download's last byte, at a few
// milliseconds per unzip started.
constexpr int kBatchesPerWorker = 4;

// The longest list of member words one unzip command line is given: the
// shell gets the whole line as one argument, which Linux caps at 128 KiB.
constexpr size_t kMaxMembersBytes = 96 * 1024;

// unzip compares every entry of the archive with every member word it is
// given, so listing all of an archive's N entries costs N * N comparisons,
// some 7 ns each: past this many (about 2,400 entries), the member lists
// would cost more CPU than one unzip of the whole archive, and one unzip it
// is. Such archives are made of many small files, whose unpacking is
// bound by making files in few directories and gains little from more
// processes anyway.
constexpr int64_t kMaxMemberComparisons = 6000000;

// Files smaller than this on average are not shared out: making a file
// costs each unzip more than inflating a small one gains from another
// processor (600 files of 150 bytes took one unzip 0.09 s and eight
// batches 0.37 s on two cores), while archives of real programs and data
// (tens of kB a file and more) unpack in two thirds of the time.
constexpr int64_t kMinMeanFileBytes = 16 * 1024;

// How many unzips run at once: one per online processor, at most 8.
int unpackWorkerCount();

// Plans |directory| for |workers| unzips whose member lists stay within
// |maxMembersBytes| bytes of shell words each. False with |why| when the
// entries cannot be shared out safely, and then one unzip of the whole
// archive must decide: data in front of the archive, an encrypted entry, a
// name unzip does not match literally or would write otherwise than stored
// (see unzipWritesAsStored), an absolute name or one with a ".." or empty
// component or a backslash, a name given twice, a file (or link) where
// another entry needs a directory, or more entries than member lists can
// name within kMaxMemberComparisons and |maxMembersBytes|, or files smaller
// than |minMeanFileBytes| on average.
bool planUnpack(const ZipDirectory& directory, int workers, size_t maxMembersBytes,
                UnpackPlan* plan, std::string* why, int64_t minMeanFileBytes = kMinMeanFileBytes);

// Whether unzip writes an entry under its stored |name|. It drops bytes
// below 0x20, 0x7f and (by locale) 0xff from every component, and a
// trailing ";" with digits (a VMS version) from the last one: two stored
// names could then land on one path, or a name on a path through a link
// that another entry makes, which a plan made from the stored names would
// not see.
bool unzipWritesAsStored(const std::string& name);

// Reads the directory of the archive file |path| and plans it (planUnpack,
// within kMaxMembersBytes): the one way both roads decide.
bool planArchiveUnpack(const std::string& path, int workers, UnpackPlan* plan, std::string* why);

// Reads the central directory of the archive file |path|. False with |error|
// when the file cannot be read or its directory does not pass the reader.
bool readArchiveDirectory(const std::string& path, ZipDirectory* directory, std::string* error);

// One round of searchCentralDirectory over the last |tailLength| bytes of
// the file |path| taken as |fileSize| long (a download's part may hold only
// its end so far). kRefused with |error| when those bytes cannot be read.
DirectorySearch searchArchiveEnd(const std::string& path, int64_t fileSize, int64_t tailLength,
                                 ZipDirectory* directory, int64_t* needTail, std::string* error);

#endif  // SETUP_AGENT_UNPACK_PLAN_H_
