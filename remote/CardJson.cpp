#include "remote/CardJson.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "core/EventText.h"
#include "remote/Json.h"
#include "resources/OrvaneTypes.h"
#include "resources/StringTable.h"

namespace {

// The text of string `base + value` when `value` is within [0, count).
std::string TextOf(int base, int32_t value, int32_t count) {
    return value >= 0 && value < count ? LoadResourceString(base + value) : std::string();
}

constexpr int32_t STATUS_COUNT = STATUS_BUSY_SESSION + 1;

}  // namespace

std::string IsoLocalTime(int64_t wallSeconds) {
    const auto seconds = static_cast<time_t>(wallSeconds);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return std::string();
    }
    char stamp[40];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local) == 0) {
        return std::string();
    }
    // strftime's %z has no colon ("+0100"); ISO 8601's extended form wants one.
    const long offset = local.tm_gmtoff;
    const int minutes = static_cast<int>((offset < 0 ? -offset : offset) / 60 % (24 * 60));
    char zone[8];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return std::string(stamp) + zone;
}

std::string StatusText(int32_t status) {
    return TextOf(IDS_STATUS_BASE, status, STATUS_COUNT);
}

std::string ModeText(int32_t mode) {
    return TextOf(IDS_MODE_BASE, mode, SAT_MODE_COUNT);
}

std::string DeviceText(int32_t device) {
    return TextOf(IDS_DEVICE_BASE, device, DEVICE_MODEL_COUNT);
}

std::string ServiceText(int32_t service) {
    return service > SERVICE_NONE ? TextOf(IDS_SERVICE_BASE, service, SERVICE_TYPE_COUNT)
                                  : std::string();
}

std::string CardJson(const CardState& row, const CardCounters& counters, int64_t nowWallMs) {
    const int64_t nowSeconds = nowWallMs / 1000;
    const std::string mode = ModeText(row.mode);
    const std::string device = DeviceText(row.device);
    const std::string service = ServiceText(row.service);
    const bool inSession = row.status == STATUS_BUSY_SESSION && !service.empty();
    const std::string loss =
        counters.lastLinkLossTime != 0 ? LinkNoteText(counters.lastLinkLoss) : "";
    return CJsonObject()
        .Number("number", row.number)
        .StringOrNull("mode", !mode.empty(), mode)
        .String("address", row.address)
        .StringOrNull("device", !device.empty(), device)
        .Number("serial", row.serialNumber)
        .String("status", StatusText(row.status))
        .Number("status_code", row.status)
        .String("since", IsoLocalTime(row.statusSince))
        .Number("seconds_in_state", std::max<int64_t>(0, nowSeconds - row.statusSince))
        .Number("mes_id", row.mesId)
        .StringOrNull("service", inSession, service)
        .Number("busy_seconds", row.busySeconds)
        .Number("link_ups", counters.linkUps)
        .Number("link_downs", counters.linkDowns)
        .Number("sessions_followed", counters.sessionsFollowed)
        .Number("sessions_refused", counters.sessionsRefused)
        .NumberOrNull("seconds_since_last_message", counters.lastMessageWallMs != 0,
                      std::max<int64_t>(0, nowWallMs - counters.lastMessageWallMs) / 1000)
        .StringOrNull("last_link_loss", !loss.empty(), loss)
        .Text();
}
