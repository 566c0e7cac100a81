// Linux timers sleep for what is asked already: nothing to request.
#include "timer_resolution.h"

namespace q48 {

bool BeginFineTimerResolution() { return false; }
void EndFineTimerResolution() {}

}  // namespace q48
