// What others read about a card: the JSON of one card's state and counters,
// the same fields for every reader (the broker's card topics, the HTTP status).
//
//   number, mode, address, device, serial, status, status_code, since,
//   seconds_in_state, mes_id, service, busy_seconds, link_ups, link_downs,
//   sessions_followed, sessions_refused, seconds_since_last_message,
//   last_link_loss
//
// Texts are the station's own: the status table's words for status, mode,
// device and service, the reason words for the last link loss. Pure data and
// text; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "cardlink/CardState.h"
#include "core/StationObserver.h"

// "2026-03-01T14:05:09+01:00": wall-clock seconds since 1970 in local time,
// with the offset from UTC.
std::string IsoLocalTime(int64_t wallSeconds);

// The designed text of a status, mode, device or service value; empty for a
// value outside its list (and for the service "none", whose text is a blank).
std::string StatusText(int32_t status);
std::string ModeText(int32_t mode);
std::string DeviceText(int32_t device);
std::string ServiceText(int32_t service);

// The card's object as of `nowWallMs` (wall-clock milliseconds), which the
// ages (seconds in state, since the last message) are counted to. The service
// is null outside a session; the last link loss is null before the first loss.
std::string CardJson(const CardState& row, const CardCounters& counters, int64_t nowWallMs);
