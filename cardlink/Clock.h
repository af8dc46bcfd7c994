// The clocks of the station. Wall-clock time stamps what the user sees (status
// times, sample times, the statistics file); durations and timers run on a
// steady clock, so that setting the wall clock neither stops nor inflates them.
// Tests hand in their own clock to run timers in virtual time.
#pragma once

#include <cstdint>

class CClock {
public:
    virtual ~CClock() = default;
    // Seconds since 1970-01-01 UTC.
    virtual int64_t WallSeconds() const = 0;
    // The same in milliseconds; a clock of whole seconds may keep the default.
    virtual int64_t WallMilliseconds() const { return WallSeconds() * 1000; }
    // Milliseconds on a steady clock with an arbitrary origin; never goes back.
    virtual int64_t SteadyMilliseconds() const = 0;
};

// The real clocks of the machine.
const CClock& SystemClock();
