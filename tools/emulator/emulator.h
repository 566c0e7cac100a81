// The reader emulator: the device side of the Q48 protocol, for tests, demos
// and integrators without the hardware.
//
// An Emulator is a Device (the card, the behaviours, the log of requests:
// device.h) served on a line by a Pump (a pty master on Linux, or a serial
// port with the library's port at the other end of a null-modem cable:
// pump.h). It reassembles the request frames the library writes, checks
// them, logs them and answers from a card profile, misbehaving on demand. It
// runs its own thread between Start() and Stop(); every public method is
// safe to call from any thread.
#pragma once

#include <utility>

#include "answer_plan.h"
#include "card_record.h"
#include "device.h"
#include "pump.h"

namespace q48emu {

class Emulator : public detail::Device, public detail::Pump {
 public:
  // The pump is made after the device it serves and stopped before it goes.
  explicit Emulator(CardProfile profile = SampleCard())
      : Device(std::move(profile)), Pump(static_cast<Device&>(*this)) {}
};

// How this platform's line is offered to a person starting the tool (for
// --help), and whether a new pty can be served when no port is named.
// Defined by the line backend (line_posix.cpp, line_win32.cpp).
struct LineNaming {
  const char* about;      // what the tool does here
  const char* valueName;  // of its --com option
  const char* help;       // of its --com option
  bool hasPty;
};
extern const LineNaming kLineNaming;

}  // namespace q48emu
