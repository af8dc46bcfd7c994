// A card's generated traffic: random sessions, each a start record, a few
// events and an end record. TrafficGenerator.h draws the cycle.
#include "cardhost/TrafficGenerator.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "cardhost/HostCard.h"

namespace {

// Generated sessions last SESSION_MIN_S to SESSION_MAX_S at low rates. When the
// mean pause between sessions is shorter than the mean of that range, both
// bounds shrink in proportion, so that a card is busy at most about half of
// the time whatever the rate.
constexpr double SESSION_MIN_S = 5.0;
constexpr double SESSION_MAX_S = 60.0;
constexpr int SESSION_MAX_EVENTS = 3;
constexpr uint32_t CHANNEL_COUNT = 16;
constexpr std::array<const char*, 3> SESSION_EVENTS{EVENT_CCS, EVENT_ANN, EVENT_ASS};

std::mt19937_64 MakeRandom(const std::optional<uint64_t>& seed, uint32_t cardNumber) {
    // One generator per card, so that a seeded card's sessions do not depend
    // on how the other cards' timers interleave with its own.
    if (seed) {
        std::seed_seq sequence{static_cast<uint32_t>(*seed), static_cast<uint32_t>(*seed >> 32),
                               cardNumber};
        return std::mt19937_64(sequence);
    }
    std::random_device device;
    std::seed_seq sequence{device(), device(), cardNumber};
    return std::mt19937_64(sequence);
}

}  // namespace

CTrafficGenerator::CTrafficGenerator(asio::io_context& io, CHostCard& card, uint32_t cardNumber,
                                     const CardHostOptions& options)
    : m_card(card),
      m_options(options),
      m_timer(io),
      m_random(MakeRandom(options.seed, cardNumber)) {}

bool CTrafficGenerator::Eligible() const {
    return m_options.trafficPerMinute > 0 && m_card.Connection() && m_card.InMode();
}

double CTrafficGenerator::MeanPauseSeconds() const {
    return 60.0 / m_options.trafficPerMinute;
}

void CTrafficGenerator::CancelTimer() {
    ++m_timerGeneration;
    m_timer.cancel();
}

void CTrafficGenerator::Stop() {
    m_steps.clear();
    CancelTimer();
}

template <typename Then>
void CTrafficGenerator::Arm(Seconds delay, Then then) {
    const uint64_t generation = m_timerGeneration;
    m_timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay));
    m_timer.async_wait([this, generation, then](const asio::error_code& ec) {
        if (ec || generation != m_timerGeneration) {
            return;
        }
        then();
    });
}

// Sessions arrive at random (exponential pauses, so starts form a Poisson
// process); one that would arrive while the card is busy is lost, as on a
// real card, which is the same as drawing the pause from the end of the
// last session.
void CTrafficGenerator::Schedule() {
    CancelTimer();
    if (!Eligible() || m_card.InSession()) {
        return;
    }
    std::exponential_distribution<double> pause(1.0 / MeanPauseSeconds());
    Arm(Seconds(pause(m_random)), [this] { BeginSession(); });
}

void CTrafficGenerator::BeginSession() {
    if (!Eligible()) {
        return;
    }
    std::uniform_int_distribution<uint32_t> mesIds(m_options.mesIdFirst, m_options.mesIdLast);
    std::uniform_int_distribution<std::size_t> services(0, SERVICE_CODE_COUNT - 1);
    std::uniform_int_distribution<uint32_t> channels(1, CHANNEL_COUNT);
    const double scale = std::min(1.0, MeanPauseSeconds() / ((SESSION_MIN_S + SESSION_MAX_S) / 2));
    std::uniform_real_distribution<double> durations(SESSION_MIN_S * scale, SESSION_MAX_S * scale);
    std::uniform_int_distribution<int> eventCounts(1, SESSION_MAX_EVENTS);
    std::uniform_int_distribution<std::size_t> events(0, SESSION_EVENTS.size() - 1);

    const uint32_t mesId = mesIds(m_random);
    m_card.BeginSession(mesId, ServiceCode(services(m_random)));
    const uint32_t channel = channels(m_random);
    const double duration = durations(m_random);
    std::uniform_real_distribution<double> moments(0.0, duration);
    std::vector<double> times(static_cast<std::size_t>(eventCounts(m_random)));
    for (double& time : times) {
        time = moments(m_random);
    }
    std::sort(times.begin(), times.end());
    m_steps.clear();
    double previous = 0;
    for (double time : times) {
        m_steps.push_back({Seconds(time - previous), SESSION_EVENTS[events(m_random)]});
        previous = time;
    }
    m_steps.push_back({Seconds(duration - previous), EVENT_END});
    m_nextStep = 0;

    m_card.Send(DataTextMessage(StartRecord(m_card.Letters(), m_card.Service(), mesId, channel)));
    RunNextStep();
}

void CTrafficGenerator::RunNextStep() {
    if (m_nextStep >= m_steps.size()) {
        return;
    }
    const SessionStep step = m_steps[m_nextStep];
    Arm(step.delay, [this, step] {
        ++m_nextStep;
        m_card.Send(
            DataTextMessage(TrafficEventRecord(m_card.Letters(), m_card.Service(), step.event)));
        if (std::string_view(step.event) == EVENT_END) {
            m_card.FinishSession();
            m_steps.clear();
            Schedule();
        } else {
            RunNextStep();
        }
    });
}
