#ifndef SETUP_DOWNLOAD_TRANSFER_RELAY_H_
#define SETUP_DOWNLOAD_TRANSFER_RELAY_H_

#include <cstdint>
#include <memory>

#include "platform/transfer.h"

// A transfer that stands in front of the one it started (and may start
// again, through another proxy or with other credentials): every event of
// that one passes on to |delegate| unless a subclass takes it. The wrappers
// share this so that an event added to TransferDelegate reaches the owner
// through each of them, rather than being lost by one that forgot it.
class TransferRelay : public Transfer, protected TransferDelegate {
 public:
  explicit TransferRelay(TransferDelegate& delegate) : delegate_(delegate) {}
  void cancel() override {
    if (transfer_) transfer_->cancel();
  }
  void writeBodyAt(int64_t offset) override { transfer_->writeBodyAt(offset); }

 protected:
  void transferDidReceiveResponse(const TransferResponse& response) override {
    delegate_.transferDidReceiveResponse(response);
  }
  void transferDidReceiveData(uint64_t length) override { delegate_.transferDidReceiveData(length); }
  void transferDidWriteRange(int64_t start, int64_t length, bool otherHost) override {
    delegate_.transferDidWriteRange(start, length, otherHost);
  }
  void transferDidFinish() override { delegate_.transferDidFinish(); }
  void transferDidFail(const TransferError& error) override { delegate_.transferDidFail(error); }

  TransferDelegate& delegate_;
  std::unique_ptr<Transfer> transfer_;  // the one running now
};

#endif  // SETUP_DOWNLOAD_TRANSFER_RELAY_H_
