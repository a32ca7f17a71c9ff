// Prints the seconds that checking an archive's signature costs a download:
// the archive's bytes fed to the verifier in the transfer's 256 KiB chunks
// (already in memory, as a transfer holds them), then the signature checked.
//   verify_cost ARCHIVE SIGNATURE KEYFILE
// Exits 1 when the signature does not verify.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "download/signature.h"
#include "platform/clock.h"

namespace {

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: verify_cost ARCHIVE SIGNATURE KEYFILE\n");
    return 2;
  }
  const size_t kChunk = 256 * 1024;
  std::string archive = slurp(argv[1]), signature = slurp(argv[2]), error;
  std::vector<PublicKey> keys;
  if (!loadPublicKeys(argv[3], &keys, &error)) return fprintf(stderr, "%s\n", error.c_str()), 1;
  double start = monotonicSeconds();
  ArchiveVerifier verifier;
  for (size_t at = 0; at < archive.size(); at += kChunk) {
    verifier.update(archive.data() + at, std::min(kChunk, archive.size() - at));
  }
  bool ok = verifier.verify(signature, keys, nullptr, &error);
  double seconds = monotonicSeconds() - start;
  if (!ok) return fprintf(stderr, "%s\n", error.c_str()), 1;
  printf("%.4f\n", seconds);
  return 0;
}
