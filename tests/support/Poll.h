// Waiting in tests by polling: a passing test goes on as soon as its
// condition holds, a failing one gives up at a generous limit.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// Polls `done` every `pace` until it holds (true) or `limit` has passed (false).
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(30),
                      std::chrono::milliseconds pace = std::chrono::milliseconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(pace);
    }
    return true;
}
