// Texts that the two views show around the status table: how long a card has
// been in its state (the dialog's row tooltip), durations and local times for
// the status lines. Qt-free, so every view (dialog, console, a program without
// a window) words them alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cardlink/CardState.h"

// A span of seconds, to the two largest units: "45 s", "3 min 12 s",
// "2 h 05 min", "3 d 04 h". A negative span (the clock was set back) is "0 s".
std::string FormatDuration(int64_t seconds);

// A wall-clock time (seconds since 1970) in local time: "2026-12-08 14:03:07".
std::string FormatLocalTime(int64_t time);

// The tooltip of one card's row at wall-clock time `now`: its status, how long
// it has been in it and since when; for a card that is Not Connected, also the
// reason its link was last lost, when `linkLossReason` holds one. A row whose
// statusSince is 0 has not changed since the station started: the caller puts
// the start time there.
std::string StatusTooltipText(const CardState& row, int64_t now,
                              const std::optional<std::string>& linkLossReason);
