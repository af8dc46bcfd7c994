// Values shared by every subsystem of the station: the card statuses, the
// satellite modes, the device models, the services and the traffic events.
// Each is a 32-bit number; the texts that go with them are string resources
// (see StringTable.h), found by adding the value to the table's base number.
#pragma once

#include <cstdint>

// The station drives at most this many cards: the reader accepts no more, the
// core has this many slots and the status table this many rows.
constexpr int32_t MAX_CARDS = 10;

enum CardOpStatus : int32_t {
    STATUS_NOT_CONNECTED = 0,
    STATUS_HOST_CONNECTED = 1,
    STATUS_CARD_READY = 2,  // shown, but no event leads into it
    STATUS_MODE_RUNNING = 3,
    STATUS_BUSY_SESSION = 4,
};

enum SatMode : int32_t {
    MODE_NONE = -1,
    MODE_SAT_B = 0,
    MODE_SAT_M = 1,
    MODE_SAT_MINI_M = 2,
    MODE_SAT_C_TDM = 3,
};
constexpr int32_t SAT_MODE_COUNT = 4;

enum DeviceModel : int32_t {
    DEVICE_CORAX = 0,
    DEVICE_CORAX_E = 1,
    DEVICE_TARSA = 2,
};
constexpr int32_t DEVICE_MODEL_COUNT = 3;

enum ServiceType : int32_t {
    SERVICE_NONE = 0,
    SERVICE_TELEPHONE = 1,
    SERVICE_DATA = 2,
    SERVICE_FAX = 3,
    SERVICE_ISDN = 4,
    SERVICE_TELEX_SM = 5,
    SERVICE_TELEX_MM = 6,
};
constexpr int32_t SERVICE_TYPE_COUNT = 7;

enum TrafficEvent : int32_t {
    EV_NONE = 0,
    EV_CCS = 1,
    EV_START = 2,  // "srt": a session begins; the only event with a MES ID
    EV_ANN = 3,
    EV_ASS = 4,
    EV_END = 5,
};
