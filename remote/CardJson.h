// What others read about a card: the JSON of one card's state and counters,
// the same object for every reader (the broker's card topics, /api/status and
// the live page's events).
//
//   number, mode, address, device, serial, status, status_code, since,
//   seconds_in_state, mes_id, service, busy_seconds, link_ups, link_downs,
//   sessions_followed, sessions_refused, messages_received,
//   seconds_since_last_message, last_link_loss, last_link_loss_time
//
// Texts are the station's own: the status table's words for status, mode,
// device and service, the reason words for the last link loss. Pure data and
// text; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "cardlink/CardState.h"
#include "core/StationObserver.h"

// The designed text of a status, mode, device or service value; empty for a
// value outside its list (and for the service "none", whose text is a blank).
std::string StatusText(int32_t status);
std::string ModeText(int32_t mode);
std::string DeviceText(int32_t device);
std::string ServiceText(int32_t service);

// The card's object as of `nowWallMs` (wall-clock milliseconds), which the
// ages (seconds in state, since the last message) are counted to. The service
// is null outside a session; the last link loss and its time are null before
// the first loss, and the loss is null too when it came without a reason.
std::string CardJson(const CardState& row, const CardCounters& counters, int64_t nowWallMs);
