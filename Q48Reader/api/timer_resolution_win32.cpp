// A 1 ms timer resolution from winmm for the length of an exchange; the
// system goes back to its default (or to what other programs ask for) when
// the last request ends.
#include <windows.h>
#include <mmsystem.h>

#include "timer_resolution.h"

namespace q48 {

namespace {
constexpr UINT kPeriodMs = 1;
}

bool BeginFineTimerResolution() { return timeBeginPeriod(kPeriodMs) == TIMERR_NOERROR; }

void EndFineTimerResolution() { (void)timeEndPeriod(kPeriodMs); }

}  // namespace q48
