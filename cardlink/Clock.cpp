#include "cardlink/Clock.h"

#include <chrono>
#include <thread>

namespace {

class CSystemClock : public CClock {
public:
    int64_t WallSeconds() const override {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    int64_t SteadyMilliseconds() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void SleepMilliseconds(int32_t ms) const override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

}  // namespace

const CClock& SystemClock() {
    static const CSystemClock clock;
    return clock;
}
