// The exchange behind every export: find the reader, open its port, send one
// request, poll for the answer, parse it, copy out, close.
//
// Runs wholly on the caller's thread. Calls are serialised on one
// process-wide lock (they share the result fields and the one reader), so a
// second caller waits for the first. The exported functions use the default
// options; the command-line client and tests name a device or roots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "protocol/response.h"
#include "serial/com_port.h"
#include "serial/find_port.h"

namespace q48 {

class PortraitConverter;

struct ExchangeOptions {
  DiscoveryRoots roots;        // where discovery looks (POSIX)
  std::string device;          // when set: this device is the reader, no discovery
  PortraitConverter* portrait = nullptr;  // null: the system converter
  // Sees each frame written (sent = true) and each message taken from the
  // queue (sent = false), on the caller's thread, in order.
  std::function<void(bool sent, const uint8_t* bytes, size_t size)> trace;
  // When set: cleared at the start of the exchange, and given the device and
  // the system's reason when the port could not be opened, e.g.
  // "cannot open /dev/ttyUSB3: Permission denied" or "cannot open COM9: " and
  // Windows' message (in the ANSI code page). Empty after any other outcome,
  // "no reader found" included. The exports leave it null.
  std::string* openError = nullptr;
  // When set: None, or with openError, what sort of failure that was.
  OpenFailureKind* openFailure = nullptr;
  // When set: after a read-card that succeeded, the decoded card (its kind
  // and every field of its kind, the slots copied to the buffer included);
  // left alone otherwise. The caller's own, written on the caller's thread.
  ResultFields* card = nullptr;
};

int16_t ListReaderCard(const ExchangeOptions& options);
int16_t ReadCard(const ExchangeOptions& options, char* buffer);
int16_t ReadIccid(const ExchangeOptions& options, char* buffer);
int16_t ReadCardType(const ExchangeOptions& options);
int16_t WriteCard(const ExchangeOptions& options, const char* content, const char* number);

// The process-wide result fields, for tests and the client. Read them only
// while holding ExchangeLock(), or when no export can run.
ResultFields& SharedResultFields();
std::mutex& ExchangeLock();

}  // namespace q48
