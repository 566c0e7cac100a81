// The portable half of ComPort: the receive queue and the frame collection
// that the reader thread drives.
#include <cstring>

#include "com_port.h"

namespace q48 {

ComPort::ComPort() = default;

ComPort::~ComPort() { Close(); }

bool ComPort::Open(const std::string& device, std::string* reason, OpenFailureKind* kind) {
  std::string text;
  OpenFailureKind failure = OpenFailureKind::Other;
  bool opened = false;
  if (platform_ != nullptr) {
    text = "already open";
  } else {
    ForgetReceived();
    opened = OpenDevice(device, &text, &failure);
  }
  if (kind != nullptr) *kind = opened ? OpenFailureKind::None : failure;
  if (!opened && reason != nullptr) *reason = text;
  return opened;
}

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

void ComPort::ForgetReceived() {
  reassembler_.reset();
  std::lock_guard<std::mutex> lock(queueLock_);
  receiveQueue_.clear();
}

void ComPort::OnChunk(const uint8_t* chunk, size_t size) {
  if (!reassembler_) reassembler_ = std::make_unique<FrameReassembler>();
  reassembler_->Feed(chunk, size, [this](const uint8_t* message, size_t length) { QueueMessage(message, length); });
}

void ComPort::OnLineError() {
  if (reassembler_) reassembler_->Reset();
}

void ComPort::QueueMessage(const uint8_t* message, size_t length) {
  if (length > kReceivedMessageSize) return;  // cannot happen: frames are at most 10239 bytes
  // Allocated outside the lock; linked in whole, so TakeReceived never sees a
  // partly written message.
  auto entry = std::make_unique<ReceivedMessage>();
  std::memcpy(entry->data, message, length);
  entry->length = static_cast<int32_t>(length);
  std::lock_guard<std::mutex> lock(queueLock_);
  receiveQueue_.push_back(std::move(entry));
}

}  // namespace q48
