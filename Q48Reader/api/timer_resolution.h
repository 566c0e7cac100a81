// The system timer's resolution for the length of one exchange.
//
// The exchange sleeps 1 ms between takes and the Windows reader thread waits
// 10 ms and sleeps 1 ms a cycle. A stock Windows PC rounds each of these up
// to its timer tick (about 15.6 ms), which would make zelReadCard's 5000
// sleeps last over a minute and take every answer up to two ticks late. So
// each exchange asks for a 1 ms resolution while it runs.
//
// Windows: timeBeginPeriod(1) in the constructor, timeEndPeriod(1) in the
// destructor when the request was granted (winmm). Elsewhere the timers are
// fine already: both do nothing. Chosen by CMake (timer_resolution_win32.cpp,
// timer_resolution_posix.cpp).
//
// Caller: the exchange, on the caller's thread, for as long as its port is
// open (so the reader thread's waits are covered too). Neither blocks.
#pragma once

namespace q48 {

class FineTimerResolution {
 public:
  FineTimerResolution();
  ~FineTimerResolution();
  FineTimerResolution(const FineTimerResolution&) = delete;
  FineTimerResolution& operator=(const FineTimerResolution&) = delete;

 private:
  [[maybe_unused]] bool granted_ = false;  // Windows: end only what was begun
};

}  // namespace q48
