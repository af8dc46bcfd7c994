// Why a link ended or an attempt failed: what the card library tells beyond
// its designed callbacks, so that an operator can be shown the reason of a
// card's trouble.
//
// The library calls the sink's OnNotify once when a Connect ends without a
// link (refused, timed out, no such host), and once right before OnLinkDown;
// in both cases VexlinkLastNote, called from inside that OnNotify, gives the
// reason. Outside OnNotify the result is the reason of the object's last
// notification, VEXLINK_NOTE_NONE before any.
//
// The designed station ignores OnNotify; nothing it does depends on a note.
#pragma once

#include <cstdint>

#include "cardlink/VexlinkApi.h"

enum VexlinkNote : int32_t {
    VEXLINK_NOTE_NONE = 0,
    VEXLINK_NOTE_REFUSED = 1,         // attempt: the host answered, nothing listens on the port
    VEXLINK_NOTE_TIMED_OUT = 2,       // attempt: no connection within the connect time limit
    VEXLINK_NOTE_UNRESOLVED = 3,      // attempt: the host name could not be resolved
    VEXLINK_NOTE_UNREACHABLE = 4,     // attempt: any other failure (no route, invalid port, ...)
    VEXLINK_NOTE_CLOSED_BY_HOST = 5,  // link: the host closed or reset the connection
    VEXLINK_NOTE_SILENT = 6,          // link: nothing, not even a keep-alive, for the silence limit
    VEXLINK_NOTE_PROTOCOL = 7,        // link: the host broke the wire format (a frame too long)
    VEXLINK_NOTE_OVERFLOW = 8,        // link: the host stopped reading; the send queue overflowed
    VEXLINK_NOTE_DISCONNECTED = 9,    // link: the station disconnected
    VEXLINK_NOTE_FAILED = 10,         // link: a network error (the kernel gave up on the peer, ...)
};

// The reason of `instance`'s last notification. Safe on any thread; no
// instance gives VEXLINK_NOTE_NONE.
extern "C" int32_t VexlinkLastNote(CVexlinkInstance* instance);
