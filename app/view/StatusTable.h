// The texts of the status table, shared by its two views (the dialog and the
// console) so that both show the same columns, in the same order, with the
// same texts. Qt-free.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "cardlink/CardState.h"

constexpr size_t STATUS_COLUMN_COUNT = 8;

// Column headings, left to right.
inline constexpr std::array<const char*, STATUS_COLUMN_COUNT> STATUS_COLUMN_HEADINGS = {
    "Number", "SAT Mode", "Computer Name or IP Address", "Device", "Serial #", "Op Status",
    "MESId",  "Service"};

inline constexpr const char* ALS_PERIOD_LABEL = "ALS duration [s]";
inline constexpr const char* LOG_INTERVAL_LABEL = "Log interval [s]";
inline constexpr const char* WATCH_LIST_LABEL = "MESIds in Watchlist";

// The eight cells of one card's row, in heading order: the number, serial
// number and MES ID in signed decimal, the others from the string table (a
// value without an entry gives an empty text).
std::array<std::string, STATUS_COLUMN_COUNT> StatusRowTexts(const CardState& row);

// A period as the table shows it: the 32-bit value read as unsigned ("%u"),
// so -5 shows as 4294967291.
std::string FormatPeriod(int32_t seconds);

// The watch list: empty for an empty list, else "111, 222, 333".
std::string FormatWatchList(const std::vector<int32_t>& watchList);

// The whole table as text for a terminal: a heading line and one line per card,
// columns aligned, then the three footer fields with their labels, then a blank
// line. Every line ends with '\n'.
std::string RenderStatusTable(const std::vector<CardState>& rows,
                              const std::vector<int32_t>& watchList, int32_t alsPeriod,
                              int32_t logInterval);
