// The card library's own terms, beyond the interface the station uses: the
// wire format, the limits, the results of the instance operations and the
// settings text.
//
// Wire format, both directions: a 4-byte unsigned big-endian length N, then N
// bytes of message text. N = 0 is a keep-alive and is ignored. A length above
// VEXLINK_MAX_FRAME is a protocol violation and the receiver closes the link.
//
// The station ignores every result; they exist for diagnosis and for tests.
// Why an attempt failed or a link ended is told through OnNotify and
// VexlinkLastNote, as cardlink/VexlinkNotes.h describes.
//
// Settings: the first text handed to CreateVexlinkInstance may hold
// "name=value" pairs separated by blanks or ';'. Unknown names and malformed
// pairs are ignored; the station passes an empty text and gets the defaults.
//   connect-timeout-ms  time limit of one Connect, name lookup included
//   keepalive-ms        idle time after which a keep-alive frame is sent; 0: never
//   silence-ms          time without a single byte from the host, keep-alives
//                       included, after which the link ends (VEXLINK_NOTE_SILENT); 0: never
// The second text and the options block carry nothing for this library.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t VEXLINK_MAX_FRAME = 1048576;
constexpr std::size_t VEXLINK_FRAME_HEADER = 4;

// Bytes queued for sending, headers included, beyond which Send gives up on
// the link: a host that stops reading must not make the station grow without bound.
constexpr std::size_t VEXLINK_MAX_PENDING = 8 * 1048576;

constexpr int32_t VEXLINK_DEFAULT_CONNECT_TIMEOUT_MS = 5000;
constexpr int32_t VEXLINK_DEFAULT_KEEPALIVE_MS = 5000;
// Hosts send keep-alives as the library does, so a working host is never
// silent for more than two keep-alive periods; three leave room for a late one.
constexpr int32_t VEXLINK_DEFAULT_SILENCE_MS = 15000;

// Without acknowledgement of sent data (keep-alives included) or of the
// kernel's own keep-alive probes for this long, the kernel drops the link: a
// peer that vanished without closing is found about when the silence limit
// would find it, also with the library's keep-alives or silence limit off.
constexpr int32_t VEXLINK_DEAD_PEER_MS = 15000;

constexpr const char* VEXLINK_SETTING_CONNECT_TIMEOUT = "connect-timeout-ms";
constexpr const char* VEXLINK_SETTING_KEEPALIVE = "keepalive-ms";
constexpr const char* VEXLINK_SETTING_SILENCE = "silence-ms";

// Results of Connect, Disconnect and Send.
constexpr int VEXLINK_OK = 0;
// Connect: an attempt or a link is already under way; nothing was changed.
constexpr int VEXLINK_BUSY = 1;
// Connect: no host, or a port that is not a decimal number from 1 to 65535.
constexpr int VEXLINK_INVALID = 2;
// Disconnect, Send: there is no link (Send) or neither link nor attempt (Disconnect).
constexpr int VEXLINK_NO_LINK = 3;
// Send: the text is longer than VEXLINK_MAX_FRAME; the link stays up.
constexpr int VEXLINK_TOO_LONG = 4;
// Send: the queue would exceed VEXLINK_MAX_PENDING; the link is being dropped.
constexpr int VEXLINK_OVERFLOW = 5;
// Any operation: the library ran out of resources.
constexpr int VEXLINK_FAILED = 6;
