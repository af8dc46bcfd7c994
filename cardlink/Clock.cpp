// The system clock: wall time from the system clock, durations from the steady clock.
#include "cardlink/Clock.h"

#include <chrono>

namespace {

class CSystemClock : public CClock {
public:
    int64_t WallSeconds() const override {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    int64_t WallMilliseconds() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    int64_t SteadyMilliseconds() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

}  // namespace

const CClock& SystemClock() {
    static const CSystemClock clock;
    return clock;
}
