// The colours of the Op Status field, one pair per CardOpStatus. The field keeps
// its text; the colour is a second cue. Chosen so that operators with any of
// the common colour-vision deficiencies (red-, green- or blue-weak) still tell
// the five apart, with text at a contrast of at least 4.5:1, and so that Not
// Connected, the state that needs the operator, stands out most: the strongest
// colour, and bold text. Toolkit-free, so any view can use the same palette.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "resources/OrvaneTypes.h"

struct StatusColours {
    uint32_t background;  // 0xRRGGBB
    uint32_t text;        // 0xRRGGBB
    bool bold;
};

inline constexpr std::array<StatusColours, 5> STATUS_COLOURS = {{
    {0xB83A00, 0xFFFFFF, true},   // Not Connected: deep vermilion
    {0xF2E68C, 0x000000, false},  // Host Connected: pale yellow, on its way up
    {0x8EC3E6, 0x000000, false},  // Card Ready: sky blue
    {0xDCEFE2, 0x000000, false},  // Mode Running: faint green, the quiet normal state
    {0x1F6FA8, 0xFFFFFF, false},  // Busy Session: blue
}};

// The colours of `status`; nullopt for a value outside CardOpStatus (the field
// then keeps the toolkit's own colours).
constexpr std::optional<StatusColours> StatusColoursOf(int32_t status) {
    if (status < STATUS_NOT_CONNECTED || status > STATUS_BUSY_SESSION) {
        return std::nullopt;
    }
    return STATUS_COLOURS[static_cast<std::size_t>(status)];
}
