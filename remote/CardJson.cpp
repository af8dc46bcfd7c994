// A card's JSON object, and the station's words for its status, mode, device and service.
// CardJson.h lists the fields.
#include "remote/CardJson.h"

#include <algorithm>

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
    const bool lost = counters.lastLinkLossTime != 0;
    const std::string loss = lost ? LinkNoteText(counters.lastLinkLoss) : "";
    const std::string lossTime = lost ? IsoLocalTime(counters.lastLinkLossTime) : "";
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
        .Number("messages_received", counters.messagesReceived)
        .NumberOrNull("seconds_since_last_message", counters.lastMessageWallMs != 0,
                      std::max<int64_t>(0, nowWallMs - counters.lastMessageWallMs) / 1000)
        .StringOrNull("last_link_loss", !loss.empty(), loss)
        .StringOrNull("last_link_loss_time", !lossTime.empty(), lossTime)
        .Text();
}
