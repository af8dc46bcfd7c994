// The bare client: a counting sink per card, linked with the station's own library options and
// attached by the Connect command once its link is up.
#include "bench/BareClient.h"

#include <cstdio>
#include <thread>

#include "cardlink/CardCommands.h"
#include "cardlink/VexlinkApi.h"

class CBareClient::CCountingSink final : public CVexlinkSink {
public:
    explicit CCountingSink(std::atomic<uint64_t>& received) : m_received(received) {}

    void OnMessage(const char*, uint32_t) override {
        m_received.fetch_add(1, std::memory_order_release);
    }
    void OnLinkUp() override { m_up.store(true); }
    void OnLinkDown() override { m_up.store(false); }
    void OnNotify() override {}

    bool IsUp() const { return m_up.load(); }

private:
    std::atomic<uint64_t>& m_received;
    std::atomic<bool> m_up{false};
};

struct CBareClient::Link {
    explicit Link(std::atomic<uint64_t>& received) : sink(received) {}
    CCountingSink sink;
    CVexlinkInstance* instance = nullptr;
};

CBareClient::CBareClient(std::vector<Target> targets) : m_targets(std::move(targets)) {}

CBareClient::~CBareClient() {
    // Release before the sinks go: afterwards no callback runs.
    for (auto& link : m_links) {
        if (link->instance != nullptr) {
            link->instance->Release();
        }
    }
}

bool CBareClient::Connect(std::chrono::milliseconds timeout) {
    // The same options block as the station's cards.
    VexlinkOptions options{};
    options.flag1 = 1;
    options.value1 = 1;
    for (const Target& target : m_targets) {
        auto link = std::make_unique<Link>(m_received);
        link->instance = CreateVexlinkInstance(&link->sink, "", "", &options);
        if (link->instance == nullptr) {
            return false;
        }
        link->instance->Connect(target.address.c_str(), std::to_string(target.port).c_str());
        m_links.push_back(std::move(link));
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (size_t i = 0; i < m_links.size(); ++i) {
        while (!m_links[i]->sink.IsUp()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        char command[COMMAND_BUFFER_SIZE];
        const int length = std::snprintf(command, sizeof command, CMD_CONNECT, m_targets[i].serial);
        m_links[i]->instance->Send(command, static_cast<uint32_t>(length));
    }
    return true;
}
