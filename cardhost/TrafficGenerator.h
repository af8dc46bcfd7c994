// The traffic a card makes up by itself while it is attached and in a mode,
// at CardHostOptions::trafficPerMinute sessions a minute (none at 0). Each
// card (HostCard.h) has one and tells it when to schedule and when to stop.
//
//     Schedule --random pause--> start record --step delay--> ccs/ann/ass ...
//         ^                                    --step delay--> end record --.
//         '-------------------------------------------------------------------'
//     Stop: the pending pause or step is dropped
//
// One timer per card. A handler whose generation is not the current one is
// stale and does nothing, so Stop and Schedule take effect at once. Runs on
// the host's thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "cardhost/Asio.h"
#include "cardhost/CardHost.h"

class CHostCard;

class CTrafficGenerator {
public:
    // `card` (the card numbered `cardNumber` on its host) and `options`
    // outlive the generator.
    CTrafficGenerator(asio::io_context& io, CHostCard& card, uint32_t cardNumber,
                      const CardHostOptions& options);
    CTrafficGenerator(const CTrafficGenerator&) = delete;
    CTrafficGenerator& operator=(const CTrafficGenerator&) = delete;

    // Draws the pause before the card's next generated session, unless the
    // card makes no traffic now or a session runs on it.
    void Schedule();
    // Drops the pending pause, and the steps of a generated session.
    void Stop();

private:
    using Seconds = std::chrono::duration<double>;

    struct SessionStep {
        Seconds delay;
        const char* event;
    };

    bool Eligible() const;
    double MeanPauseSeconds() const;
    void CancelTimer();
    template <typename Then>
    void Arm(Seconds delay, Then then);
    void BeginSession();
    void RunNextStep();

    CHostCard& m_card;
    const CardHostOptions& m_options;
    asio::steady_timer m_timer;
    uint64_t m_timerGeneration = 0;
    std::mt19937_64 m_random;
    std::vector<SessionStep> m_steps;  // of the generated session
    std::size_t m_nextStep = 0;
};
