// A clock for tests: wall and steady time stand still until the test moves
// them, so timers run in virtual time. Pauses can be real (to check the
// pauses themselves) or virtual (they only advance the steady time).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "cardlink/Clock.h"

class CFakeClock : public CClock {
public:
    explicit CFakeClock(int64_t wallSeconds = 1700000000, bool realSleeps = false)
        : m_wall(wallSeconds), m_realSleeps(realSleeps) {}

    int64_t WallSeconds() const override { return m_wall.load(); }
    int64_t SteadyMilliseconds() const override { return m_steady.load(); }
    void SleepMilliseconds(int32_t ms) const override {
        m_sleptMs += ms;
        if (m_realSleeps) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
    }

    // Moves both clocks forward.
    void Advance(int64_t seconds) {
        m_wall += seconds;
        m_steady += seconds * 1000;
    }
    void AdvanceMs(int64_t ms) { m_steady += ms; }
    // Sets the wall clock alone, as a user changing the system time would.
    void SetWall(int64_t seconds) { m_wall = seconds; }
    int64_t SleptMs() const { return m_sleptMs.load(); }

private:
    std::atomic<int64_t> m_wall;
    std::atomic<int64_t> m_steady{1000000};
    mutable std::atomic<int64_t> m_sleptMs{0};
    bool m_realSleeps;
};
