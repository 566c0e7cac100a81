// Linux timers sleep for what is asked already: nothing to request.
#include "timer_resolution.h"

namespace q48 {

FineTimerResolution::FineTimerResolution() = default;
FineTimerResolution::~FineTimerResolution() = default;

}  // namespace q48
