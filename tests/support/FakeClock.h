// A clock for tests: wall and steady time stand still until the test moves
// them, so timers run in virtual time.
#pragma once

#include <atomic>
#include <cstdint>

#include "cardlink/Clock.h"

class CFakeClock : public CClock {
public:
    explicit CFakeClock(int64_t wallSeconds = 1700000000) : m_wall(wallSeconds) {}

    int64_t WallSeconds() const override { return m_wall.load(); }
    int64_t SteadyMilliseconds() const override { return m_steady.load(); }

    // Moves both clocks forward.
    void Advance(int64_t seconds) {
        m_wall += seconds;
        m_steady += seconds * 1000;
    }
    void AdvanceMs(int64_t ms) { m_steady += ms; }
    // Sets the wall clock alone, as a user changing the system time would.
    void SetWall(int64_t seconds) { m_wall = seconds; }

private:
    std::atomic<int64_t> m_wall;
    std::atomic<int64_t> m_steady{1000000};
};
