// Texts that the two views show around the status table: how long a card has
// been in its state (the dialog's row tooltip), durations and local times for
// the status lines. Qt-free, so every view (dialog, console, a program without
// a window) words them alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cardlink/CardState.h"
#include "core/StationObserver.h"

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

// 1234567 as "1,234,567".
std::string GroupThousands(uint64_t value);

// "8 of 10 cards up, 3 busy, 1,234 samples": the station in one line, for the
// service manager's status and the console's hourly summary. A card is up
// while its host is connected (any status but Not Connected). A journal or
// history that is not being kept adds "; journal failing since 2026-12-08
// 14:03:07".
std::string StationStatusText(const StationSnapshot& snapshot);

// "journal failing since 2026-12-08 14:03:07; history failing since ...";
// empty when every record is kept.
std::string RecordTroublesText(const std::vector<RecordTrouble>& troubles);
