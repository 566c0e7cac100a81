// The portable half of ComPort: the receive queue and the frame collection
// that the reader thread drives.
#include "com_port.h"

#include <cstring>

#include "com_port_platform.h"

namespace q48 {

// The reader thread's side: reassembles what it reads and queues each
// accepted message. Made by Open, so that a reopened port starts with no
// partial frame of its last session.
class ComPort::Receiver final : public PortReceiver {
 public:
  explicit Receiver(ComPort& port) : port_(port) {}

  void OnChunk(const uint8_t* chunk, size_t size) override {
    if (!reassembler_) reassembler_ = std::make_unique<FrameReassembler>();
    reassembler_->Feed(chunk, size,
                       [this](const FrameView& frame) { port_.QueueMessage(frame.message(), frame.messageSize()); });
  }

  void OnLineError() override {
    if (reassembler_) reassembler_->Reset();
  }

 private:
  ComPort& port_;
  std::unique_ptr<FrameReassembler> reassembler_;  // on the heap, when the first chunk comes
};

ComPort::ComPort() = default;

ComPort::~ComPort() { Close(); }

OpenResult ComPort::Open(const std::string& device) {
  if (device_ != nullptr) return OpenResult::Failed(OpenFailureKind::Other, "already open");
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    receiveQueue_.clear();
  }
  receiver_ = std::make_unique<Receiver>(*this);
  return OpenPortDevice(device, *receiver_, &device_);
}

bool ComPort::ResumeReader() { return device_ != nullptr && device_->ResumeReader(); }

int32_t ComPort::Write(const uint8_t* bytes, int32_t count) {
  if (device_ == nullptr || bytes == nullptr || count <= 0) return 0;
  return device_->Write(bytes, count);
}

void ComPort::Close() { device_.reset(); }

int32_t ComPort::TakeReceived(uint8_t* buffer) {
  std::unique_ptr<ReceivedMessage> message;
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    if (receiveQueue_.empty()) return 0;
    message = std::move(receiveQueue_.front());
    receiveQueue_.pop_front();
  }
  std::memcpy(buffer, message->data, static_cast<size_t>(message->length));
  return message->length;
}

size_t ComPort::QueuedCount() const {
  std::lock_guard<std::mutex> lock(queueLock_);
  return receiveQueue_.size();
}

void ComPort::QueueMessage(const uint8_t* message, size_t length) {
  static_assert(kMaxFrameSize - kMessageOverhead <= kReceivedMessageSize, "every message fits an entry");
  // Allocated outside the lock; linked in whole, so TakeReceived never sees a
  // partly written message.
  auto entry = std::make_unique<ReceivedMessage>();
  std::memcpy(entry->data, message, length);
  entry->length = static_cast<int32_t>(length);
  std::lock_guard<std::mutex> lock(queueLock_);
  receiveQueue_.push_back(std::move(entry));
}

}  // namespace q48
