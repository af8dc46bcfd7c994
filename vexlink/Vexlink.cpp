// The library's entry point and the object the station holds per card.
#include "vexlink/Vexlink.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <string_view>
#include <utility>

#include "cardlink/VexlinkApi.h"
#include "cardlink/VexlinkNotes.h"
#include "vexlink/Link.h"
#include "vexlink/LinkService.h"

#define VEXLINK_EXPORT __attribute__((visibility("default")))

namespace {

// Longest time a setting may give; longer values are cut to it.
constexpr int32_t MAX_SETTING_MS = 600000;

// The station's handle on one link. The station owns it from
// CreateVexlinkInstance until Release; the link behind it lives on until the
// service thread has no more work for it.
class CVexlinkObject final : public CVexlinkInstance {
public:
    explicit CVexlinkObject(std::shared_ptr<CLink> link) : m_link(std::move(link)) {}
    ~CVexlinkObject() = default;
    CVexlinkObject(const CVexlinkObject&) = delete;
    CVexlinkObject& operator=(const CVexlinkObject&) = delete;

    void Unused() override {}

    void Release() override {
        m_link->Release();
        // Takes back the ownership that CreateVexlinkInstance handed out.
        std::unique_ptr<CVexlinkObject> self(this);
    }

    int Connect(const char* host, const char* port) override { return m_link->Connect(host, port); }
    int Disconnect() override { return m_link->Disconnect(); }
    int Send(const char* text, uint32_t length) override { return m_link->Send(text, length); }

    VexlinkNote LastNote() const { return m_link->LastNote(); }

private:
    std::shared_ptr<CLink> m_link;
};

// Reads "name=value" pairs separated by blanks or ';'; see vexlink/Vexlink.h.
LinkSettings ReadSettings(const char* text) {
    LinkSettings settings{std::chrono::milliseconds(VEXLINK_DEFAULT_CONNECT_TIMEOUT_MS),
                          std::chrono::milliseconds(VEXLINK_DEFAULT_KEEPALIVE_MS),
                          std::chrono::milliseconds(VEXLINK_DEFAULT_SILENCE_MS)};
    if (text == nullptr) {
        return settings;
    }
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t end = rest.find_first_of(" ;");
        const std::string_view pair = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);

        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view name = pair.substr(0, equals);
        const std::string_view value = pair.substr(equals + 1);
        int32_t number = 0;
        const auto [last, error] =
            std::from_chars(value.data(), value.data() + value.size(), number);
        if (value.empty() || error != std::errc() || last != value.data() + value.size() ||
            number < 0) {
            continue;
        }
        const std::chrono::milliseconds ms(std::min(number, MAX_SETTING_MS));
        if (name == VEXLINK_SETTING_CONNECT_TIMEOUT && number > 0) {
            settings.connectTimeout = ms;
        } else if (name == VEXLINK_SETTING_KEEPALIVE) {
            settings.keepAlive = ms;
        } else if (name == VEXLINK_SETTING_SILENCE) {
            settings.silence = ms;
        }
    }
    return settings;
}

}  // namespace

extern "C" VEXLINK_EXPORT CVexlinkInstance* CreateVexlinkInstance(
    CVexlinkSink* sink, const char* text1, const char* /*text2*/,
    const VexlinkOptions* /*options*/) {
    if (sink == nullptr) {
        return nullptr;
    }
    try {
        CLinkService& service = CLinkService::Get();
        auto link = std::make_shared<CLink>(sink, service.Context(), ReadSettings(text1));
        return std::make_unique<CVexlinkObject>(std::move(link)).release();
    } catch (const std::exception&) {
        return nullptr;
    }
}

extern "C" VEXLINK_EXPORT int32_t VexlinkLastNote(CVexlinkInstance* instance) {
    if (instance == nullptr) {
        return VEXLINK_NOTE_NONE;
    }
    // Every instance the station holds was made by CreateVexlinkInstance above.
    return static_cast<const CVexlinkObject*>(instance)->LastNote();
}
