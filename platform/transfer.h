#ifndef SETUP_PLATFORM_TRANSFER_H_
#define SETUP_PLATFORM_TRANSFER_H_

#include <cstdint>
#include <memory>
#include <string>

class Loop;

struct TransferRequest {
  std::string url;
  std::string destination;    // file to create or overwrite
  double idleTimeout = 60.0;  // seconds without a byte (connecting included)
};

struct TransferResponse {
  long status = 0;             // HTTP status of the final response
  bool hasEtag = false;
  std::string etag;            // the header value as received
  int64_t expectedLength = -1; // -1 when the server announces none
  std::string url;             // the final URL, after redirects
};

struct TransferError {
  std::string description;
  std::string failingUrl;
};

// Receives the events of one transfer, on the loop's thread, in order: one
// response (the final one, after redirects), data chunks, then exactly one
// of finished / failed. Nothing arrives after Transfer::cancel().
class TransferDelegate {
 public:
  virtual ~TransferDelegate() = default;
  virtual void transferDidReceiveResponse(const TransferResponse& response) = 0;
  virtual void transferDidReceiveData(uint64_t length) = 0;
  virtual void transferDidFinish() = 0;
  virtual void transferDidFail(const TransferError& error) = 0;
};

// One running transfer into a file. A failed or cancelled transfer deletes
// its partial file. Destroying it cancels it.
class Transfer {
 public:
  virtual ~Transfer() = default;
  // Stops the transfer; no effect once it has finished or failed.
  virtual void cancel() = 0;
};

// Starts |request| on |loop|: http and https only, redirects followed (never
// from https down to http), certificates always verified.
std::unique_ptr<Transfer> startTransfer(Loop& loop, const TransferRequest& request,
                                        TransferDelegate& delegate);

#endif  // SETUP_PLATFORM_TRANSFER_H_
