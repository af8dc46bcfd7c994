// The unit of the event queue: a 44-byte header, followed for card messages by
// the message text. The layout is fixed; the record never leaves the process,
// so numbers are in the machine's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t EVT_CARD_MESSAGE = 100;  // payload: the card's message text
constexpr uint16_t EVT_CARD_STATUS = 102;   // status 1: link up, 0: link down
constexpr uint16_t EVT_QUIT = 103;          // the stop request

constexpr int32_t EVENT_HEADER_SIZE = 44;
constexpr int32_t EVENT_ADDRESS_SIZE = 31;  // NUL-terminated, at most 30 characters
// `length` is 16-bit signed, so a payload holds at most 32,767 - 44 bytes.
constexpr int32_t MAX_EVENT_PAYLOAD = 32767 - EVENT_HEADER_SIZE;

struct EventRecord {
    uint16_t type;                     // EVT_CARD_MESSAGE, EVT_CARD_STATUS or EVT_QUIT
    int16_t length;                    // whole record in bytes, header included
    int32_t card;                      // 1-based card number; 0 in EVT_QUIT
    int16_t status;                    // EVT_CARD_STATUS: the new CardOpStatus; EVT_QUIT: 0
    char address[EVENT_ADDRESS_SIZE];  // EVT_CARD_MESSAGE: the card's address
    char unused[3];
};

static_assert(sizeof(EventRecord) == EVENT_HEADER_SIZE);
static_assert(offsetof(EventRecord, type) == 0);
static_assert(offsetof(EventRecord, length) == 2);
static_assert(offsetof(EventRecord, card) == 4);
static_assert(offsetof(EventRecord, status) == 8);
static_assert(offsetof(EventRecord, address) == 10);
static_assert(offsetof(EventRecord, unused) == 41);
