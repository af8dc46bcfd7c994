// The observers' reason words: the card library's link notes, session refusals and their actions,
// session ends and status changes.
#include "core/EventText.h"

#include "cardlink/VexlinkNotes.h"

const char* LinkNoteText(int32_t note) {
    switch (note) {
        case VEXLINK_NOTE_REFUSED:
            return "refused";
        case VEXLINK_NOTE_TIMED_OUT:
            return "timed out";
        case VEXLINK_NOTE_UNRESOLVED:
            return "host name not resolved";
        case VEXLINK_NOTE_UNREACHABLE:
            return "unreachable";
        case VEXLINK_NOTE_CLOSED_BY_HOST:
            return "closed by the host";
        case VEXLINK_NOTE_SILENT:
            return "silent";
        case VEXLINK_NOTE_PROTOCOL:
            return "protocol violation";
        case VEXLINK_NOTE_OVERFLOW:
            return "host stopped reading";
        case VEXLINK_NOTE_DISCONNECTED:
            return "disconnected";
        case VEXLINK_NOTE_FAILED:
            return "network error";
        default:
            return "";
    }
}

std::string RefusalText(int32_t reason, int32_t heldBy) {
    switch (static_cast<RefusalReason>(reason)) {
        case RefusalReason::NotWatched:
            return "not on the watch list";
        case RefusalReason::HeldByCard:
            return "held by card " + std::to_string(heldBy);
        case RefusalReason::Unknown:
            break;
    }
    return "unknown";
}

const char* RefusalActionText(int32_t action) {
    return static_cast<RefusalAction>(action) == RefusalAction::ModeSetup ? "sat-c-tdm re-setup"
                                                                          : "resync";
}

const char* SessionEndText(int32_t cause) {
    switch (static_cast<SessionEndCause>(cause)) {
        case SessionEndCause::EndRecord:
            return "end record";
        case SessionEndCause::LinkDown:
            return "link down";
        case SessionEndCause::LinkUp:
            return "link up";
        case SessionEndCause::Replaced:
            return "replaced";
        case SessionEndCause::ModeStarted:
            return "mode setup";
        case SessionEndCause::Other:
            break;
    }
    return "other";
}

const char* StatusReasonText(int32_t reason) {
    switch (static_cast<StatusReason>(reason)) {
        case StatusReason::LinkUp:
            return "link up";
        case StatusReason::LinkDown:
            return "link down";
        case StatusReason::ModeStarted:
            return "mode started";
        case StatusReason::SessionFollowed:
            return "session followed";
        case StatusReason::SessionEnded:
            return "session ended";
        case StatusReason::Other:
            break;
    }
    return "other";
}
