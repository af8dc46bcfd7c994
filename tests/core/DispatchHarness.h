// Runs the dispatcher over a core on a thread of the test's own, and lets the test wait
// until the thread has handled everything written so far.
//
// Sync() writes two records of a type the thread ignores and waits until each
// has been taken. When the second is taken, the pass of the first, Tick
// included, is over; so is every record written before it. Settle() repeats
// that until the library double has nothing more to deliver either; with a
// virtual clock it also moves the clock through the pauses of mode setups.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cardlink/CardCommands.h"
#include "cardlink/EventRecord.h"
#include "core/Dispatcher.h"
#include "core/Monitor.h"
#include "support/CoreAccess.h"
#include "support/FakeClock.h"
#include "support/FakeVexlink.h"

namespace apptest {

constexpr uint16_t IGNORED_RECORD_TYPE = 1;

// The bytes of one record: the header, then the payload.
inline std::string RecordBytes(uint16_t type, int32_t card, int16_t status,
                               const std::string& payload, int16_t length) {
    EventRecord header{};
    header.type = type;
    header.length = length;
    header.card = card;
    header.status = status;
    std::string bytes(EVENT_HEADER_SIZE, '\0');
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes + payload;
}

inline std::string RecordBytes(uint16_t type, int32_t card, int16_t status = 0,
                               const std::string& payload = "") {
    return RecordBytes(type, card, status, payload,
                       static_cast<int16_t>(EVENT_HEADER_SIZE + payload.size()));
}

class CDispatchRunner {
public:
    // `clock`, if given, is the core's virtual clock, which Settle moves on
    // while mode setups are under way.
    explicit CDispatchRunner(COrvane& core, CFakeClock* clock = nullptr)
        : m_core(core), m_clock(clock) {}
    ~CDispatchRunner() { Stop(); }
    CDispatchRunner(const CDispatchRunner&) = delete;
    CDispatchRunner& operator=(const CDispatchRunner&) = delete;

    // `probe`, if given, runs on the dispatch thread at each refresh request.
    void Start(std::function<void()> probe = {}) {
        DispatchHooks hooks;
        hooks.refresh = [this, probe] {
            if (probe) {
                probe();
            }
            ++m_refreshes;
        };
        m_thread = std::thread([this, hooks = std::move(hooks)]() mutable {
            CDispatcher(m_core, std::move(hooks)).Run();
            m_result = 0;
        });
    }
    // The Exit sequence: the stop record, then wait for the thread.
    void Stop() {
        if (m_thread.joinable()) {
            m_core.PostQuit();
            m_thread.join();
        }
    }
    // Waits for a thread that ends on a stop record already queued.
    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    int Refreshes() const { return m_refreshes.load(); }
    unsigned Result() const { return m_result; }

    void Write(const std::string& bytes) {
        ASSERT_TRUE(COrvaneTestAccess::Queue(m_core).Write(bytes.data(),
                                                           static_cast<int32_t>(bytes.size())));
    }

    void Drain() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (COrvaneTestAccess::Queue(m_core).Unread() != 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the dispatch thread stopped reading";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    void Sync() {
        for (int i = 0; i < 2; ++i) {
            Write(RecordBytes(IGNORED_RECORD_TYPE, 0));
            Drain();
        }
    }

    void Settle() {
        CFakeVexlink& fake = CFakeVexlink::Get();
        for (int round = 0; round < 20; ++round) {
            fake.WaitIdle();
            const size_t before = fake.Journal().size();
            Sync();
            fake.WaitIdle();
            if (m_clock != nullptr && m_core.SetupsUnderWay()) {
                m_clock->AdvanceMs(MODE_SETUP_PAUSE_MS);
                continue;
            }
            if (fake.Journal().size() == before) {
                return;
            }
        }
        ADD_FAILURE() << "the cards and the dispatch thread never came to rest";
    }

private:
    COrvane& m_core;
    CFakeClock* m_clock;
    std::thread m_thread;
    std::atomic<int> m_refreshes{0};
    unsigned m_result = 99;
};

// Card messages as a host sends them.
inline std::string CardsInformation(const std::vector<int32_t>& serials) {
    std::string text = "<Message version=\"1.0\"><Information><Cards>";
    for (size_t i = 0; i < serials.size(); ++i) {
        text += "<Card number=\"" + std::to_string(i + 1) + "\" serial-nr=\"" +
                std::to_string(serials[i]) + "\"/>";
    }
    return text + "</Cards></Information></Message>";
}

inline std::string ParameterList(const std::vector<std::pair<std::string, std::string>>& params) {
    std::string text = "<Message version=\"1.0\"><Information><ParameterList>";
    for (const auto& [name, value] : params) {
        text += "<Parameter name=\"" + name + "\" value=\"" + value + "\"/>";
    }
    return text + "</ParameterList></Information></Message>";
}

inline std::string TrafficText(const std::string& records) {
    return "<Message version=\"1.0\"><Data><Text>" + records + "</Text></Data></Message>";
}

// One traffic record; `mode` is the two characters after "MODE:".
inline std::string Start(const std::string& mode, int32_t mesId,
                         const std::string& service = "TEL ") {
    return "MODE:" + mode + " SERV:" + service + " EVNT:srt MES_ID:" + std::to_string(mesId) +
           " TX_CHA_ID:3;";
}

inline std::string End(const std::string& mode) {
    return "MODE:" + mode + " SERV:TEL  EVNT:end;";
}

}  // namespace apptest
