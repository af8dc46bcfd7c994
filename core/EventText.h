// The words for the reasons the observers are told, the same in every place
// that shows them: event lines, the HTTP status, the broker, the session
// history and the dialog's tooltips. Lower case, without a full stop.
#pragma once

#include <cstdint>
#include <string>

#include "core/StationObserver.h"

// A VexlinkNote: "refused", "timed out", "silent", ...; "" for none.
const char* LinkNoteText(int32_t note);
// "not on the watch list", "held by card 3", "unknown".
std::string RefusalText(int32_t reason, int32_t heldBy);
// "resync", "sat-c-tdm re-setup".
const char* RefusalActionText(int32_t action);
// "end record", "link down", "link up", "replaced", "mode setup", "other".
const char* SessionEndText(int32_t cause);
// "link up", "link down", "mode started", "session followed", "session ended", "other".
const char* StatusReasonText(int32_t reason);
