// What a card host says and hears on the wire: the texts of the messages a
// card sends (cards information, parameter lists, traffic texts) and the
// reading of the XML commands the station sends. Every message travels in a
// frame of wire/Frame.h, which comes with this header.
//
// Pure functions, no state; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/Frame.h"

// The ports of the three device models.
constexpr uint16_t PORT_CORAX = 33254;
constexpr uint16_t PORT_CORAX_E = 33274;
constexpr uint16_t PORT_TARSA = 33284;

// The values a card starts with.
constexpr const char* CODE_NO_MODE = "no-mode";
constexpr const char* ALS_OFF = "off";

// Serial numbers are what the station's configuration accepts: not 0, and
// small enough for the station's signed 32-bit field.
constexpr uint32_t MAX_SERIAL_NUMBER = 2147483647;
// A MES ID is read as at most 8 decimal digits by the station.
constexpr uint32_t MAX_MES_ID = 99999999;

// Traffic event codes.
constexpr const char* EVENT_CCS = "ccs";
constexpr const char* EVENT_START = "srt";
constexpr const char* EVENT_ANN = "ann";
constexpr const char* EVENT_ASS = "ass";
constexpr const char* EVENT_END = "end";

struct CardParameter {
    std::string name;
    std::string value;
};

// `<Message version="1.0"><Information><Cards><Card number="1" serial-nr="4711"/>...`
// with the cards numbered 1.. in the order given.
std::string CardsInformationMessage(const std::vector<uint32_t>& serials);
// `<Message version="1.0"><Information><ParameterList><Parameter name=".." value=".."/>...`
// Names and values are escaped so that the message stays well-formed.
std::string ParameterListMessage(const std::vector<CardParameter>& parameters);
// `<Message version="1.0"><Data><Text>records</Text></Data></Message>`
std::string DataTextMessage(std::string_view records);

// The two mode letters of a traffic record for a mode keyword ("sat-b" -> " B",
// "sat-m" -> " M", "sat-mini-m" -> "mM", "sat-c-tdm" -> " C"); nullptr for any
// other code, "no-mode" included.
const char* ModeLetters(std::string_view code);

// The service codes of traffic records, indexed 0..SERVICE_CODE_COUNT-1:
// "TEL ", "DATA", "FAX ", "ISDN", "TELEX SM", "TELEX MM".
constexpr std::size_t SERVICE_CODE_COUNT = 6;
const char* ServiceCode(std::size_t index);
// The service code for a script name (tel, data, fax, isdn, telex-sm,
// telex-mm); nullptr for any other name.
const char* ServiceCodeByName(std::string_view name);

// "MODE:<mode> SERV:<service> EVNT:srt MES_ID:<mesId> TX_CHA_ID:<channel>;"
std::string StartRecord(std::string_view mode, std::string_view service, uint32_t mesId,
                        uint32_t channel);
// "MODE:<mode> SERV:<service> EVNT:<event>;" for every event but the start.
std::string TrafficEventRecord(std::string_view mode, std::string_view service,
                               std::string_view event);

enum class CommandKind {
    Connect,           // attach this connection to the card `serial`
    SetParameters,     // `parameters`, in command order
    SetConfiguration,  // accepted as is
    StartResync,
    Unknown,  // well-formed, but not a command a card knows; `detail` says why
};

struct CardCommand {
    CommandKind kind = CommandKind::Unknown;
    uint32_t serial = 0;
    std::vector<CardParameter> parameters;
    std::string detail;
};

// Reads one command text. False when the text is not well-formed XML (one root
// element, nothing but markup and blanks around it, no repeated attribute);
// `error` then says what is wrong and at which byte offset. True otherwise,
// with `command` describing it.
bool ParseCommand(std::string_view text, CardCommand& command, std::string& error);

// The text with every control character (and DEL) written as \xNN, so that it
// fits on one output line.
std::string PrintableText(std::string_view text);
