// What the exchange asks of the platform for its timing: the system timer's
// resolution for the length of one exchange.
//
// The exchange sleeps 1 ms between takes and the Windows reader thread waits
// 10 ms and sleeps 1 ms a cycle. A stock Windows PC rounds each of these up
// to its timer tick (about 15.6 ms), which would make zelReadCard's 5000
// sleeps last over a minute and take every answer up to two ticks late. So
// each exchange asks for a 1 ms resolution while it runs.
//
// Backends: timer_resolution_win32.cpp (timeBeginPeriod/timeEndPeriod from
// winmm), timer_resolution_posix.cpp (the timers are fine already: nothing
// to ask for); CMake picks one. A new platform defines both functions below.
//
// Caller: the exchange, on the caller's thread, Begin before it looks for
// the reader and End after its port has closed (so the reader thread's
// waits are covered too), once each. Blocks: never.
#pragma once

namespace q48 {

// Asks for a 1 ms timer resolution; true when granted (End must follow).
bool BeginFineTimerResolution();
// Gives back what a granted Begin asked for.
void EndFineTimerResolution();

}  // namespace q48
