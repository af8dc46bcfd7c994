// The texts of a card host's messages and the reading of the station's commands.
#include "cardhost/CardProtocol.h"

#include <array>
#include <charconv>
#include <cstring>
#include <set>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#include <pugixml.hpp>
#pragma GCC diagnostic pop

namespace {

constexpr const char* MESSAGE_OPEN = "<Message version=\"1.0\">";
constexpr const char* MESSAGE_CLOSE = "</Message>";

struct ModeEntry {
    const char* keyword;
    const char* letters;
};
constexpr std::array<ModeEntry, 4> MODES{{
    {"sat-b", " B"},
    {"sat-m", " M"},
    {"sat-mini-m", "mM"},
    {"sat-c-tdm", " C"},
}};

struct ServiceEntry {
    const char* name;
    const char* code;
};
constexpr std::array<ServiceEntry, SERVICE_CODE_COUNT> SERVICES{{
    {"tel", "TEL "},
    {"data", "DATA"},
    {"fax", "FAX "},
    {"isdn", "ISDN"},
    {"telex-sm", "TELEX SM"},
    {"telex-mm", "TELEX MM"},
}};

void AppendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
}

// A serial number as the station writes it: decimal digits only, not 0.
bool ParseSerial(const char* text, uint32_t& serial) {
    std::string_view view(text);
    if (view.empty() || view.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (ec != std::errc() || end != view.data() + view.size() || value == 0 ||
        value > MAX_SERIAL_NUMBER) {
        return false;
    }
    serial = static_cast<uint32_t>(value);
    return true;
}

bool FindRepeatedAttribute(pugi::xml_node root, std::string& error);

// pugixml checks the markup; these are the rules of a well-formed document that
// it lets pass in fragment mode.
bool CheckDocumentShape(const pugi::xml_document& doc, std::string& error) {
    int elements = 0;
    for (pugi::xml_node node : doc.children()) {
        if (node.type() == pugi::node_element) {
            ++elements;
        } else if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
            error = "text outside the root element";
            return false;
        }
    }
    if (elements != 1) {
        error = elements == 0 ? "no root element" : "more than one root element";
        return false;
    }
    return !FindRepeatedAttribute(doc.document_element(), error);
}

// pugixml keeps both copies of an attribute given twice; a well-formed
// document has none. Walks without recursion: a command may nest deeply.
bool FindRepeatedAttribute(pugi::xml_node root, std::string& error) {
    pugi::xml_node node = root;
    while (node) {
        std::set<std::string_view> seen;
        for (pugi::xml_attribute attribute : node.attributes()) {
            if (!seen.insert(attribute.name()).second) {
                error =
                    std::string("repeated attribute ") + attribute.name() + " in " + node.name();
                return true;
            }
        }
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node != root && !node.next_sibling()) {
            node = node.parent();
        }
        if (node == root) {
            break;
        }
        node = node.next_sibling();
    }
    return false;
}

void ReadCommand(pugi::xml_node root, CardCommand& command) {
    command = CardCommand{};
    if (std::strcmp(root.name(), "Message") != 0) {
        command.detail = std::string("root element ") + root.name() + ", not Message";
        return;
    }
    pugi::xml_node body = root.child("Command");
    if (!body) {
        command.detail = "no Command element";
        return;
    }
    pugi::xml_node verb = body.first_child();
    while (verb && verb.type() != pugi::node_element) {
        verb = verb.next_sibling();
    }
    if (!verb) {
        command.detail = "empty Command element";
        return;
    }
    const std::string_view name = verb.name();
    if (name == "Connect") {
        const char* serialText = verb.child("Card").attribute("serial-nr").value();
        if (!ParseSerial(serialText, command.serial)) {
            command.detail = std::string("Connect with serial-nr \"") + serialText + "\"";
            return;
        }
        command.kind = CommandKind::Connect;
    } else if (name == "Set") {
        if (pugi::xml_node list = verb.child("ParameterList")) {
            for (pugi::xml_node parameter : list.children("Parameter")) {
                command.parameters.push_back(
                    {parameter.attribute("name").value(), parameter.attribute("value").value()});
            }
            command.kind = CommandKind::SetParameters;
        } else if (verb.child("Configuration")) {
            command.kind = CommandKind::SetConfiguration;
        } else {
            command.detail = "Set without ParameterList or Configuration";
        }
    } else if (name == "Start") {
        const std::string item = verb.attribute("item").value();
        if (item == "resync") {
            command.kind = CommandKind::StartResync;
        } else {
            command.detail = "Start item \"" + item + "\"";
        }
    } else {
        command.detail = "command " + std::string(name);
    }
}

}  // namespace

std::string CardsInformationMessage(const std::vector<uint32_t>& serials) {
    std::string text = MESSAGE_OPEN;
    text += "<Information><Cards>";
    for (std::size_t i = 0; i < serials.size(); ++i) {
        text += "<Card number=\"" + std::to_string(i + 1) + "\" serial-nr=\"" +
                std::to_string(serials[i]) + "\"/>";
    }
    text += "</Cards></Information>";
    text += MESSAGE_CLOSE;
    return text;
}

std::string ParameterListMessage(const std::vector<CardParameter>& parameters) {
    std::string text = MESSAGE_OPEN;
    text += "<Information><ParameterList>";
    for (const CardParameter& parameter : parameters) {
        text += "<Parameter name=\"";
        AppendEscaped(text, parameter.name);
        text += "\" value=\"";
        AppendEscaped(text, parameter.value);
        text += "\"/>";
    }
    text += "</ParameterList></Information>";
    text += MESSAGE_CLOSE;
    return text;
}

std::string DataTextMessage(std::string_view records) {
    std::string text = MESSAGE_OPEN;
    text += "<Data><Text>";
    text += records;
    text += "</Text></Data>";
    text += MESSAGE_CLOSE;
    return text;
}

const char* ModeLetters(std::string_view code) {
    for (const ModeEntry& mode : MODES) {
        if (code == mode.keyword) {
            return mode.letters;
        }
    }
    return nullptr;
}

const char* ServiceCode(std::size_t index) {
    return index < SERVICES.size() ? SERVICES[index].code : nullptr;
}

const char* ServiceCodeByName(std::string_view name) {
    for (const ServiceEntry& service : SERVICES) {
        if (name == service.name) {
            return service.code;
        }
    }
    return nullptr;
}

std::string StartRecord(std::string_view mode, std::string_view service, uint32_t mesId,
                        uint32_t channel) {
    std::string record = "MODE:";
    record += mode;
    record += " SERV:";
    record += service;
    record += " EVNT:";
    record += EVENT_START;
    record += " MES_ID:" + std::to_string(mesId) + " TX_CHA_ID:" + std::to_string(channel) + ";";
    return record;
}

std::string TrafficEventRecord(std::string_view mode, std::string_view service,
                               std::string_view event) {
    std::string record = "MODE:";
    record += mode;
    record += " SERV:";
    record += service;
    record += " EVNT:";
    record += event;
    record += ";";
    return record;
}

bool ParseCommand(std::string_view text, CardCommand& command, std::string& error) {
    pugi::xml_document doc;
    const pugi::xml_parse_result result = doc.load_buffer(
        text.data(), text.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_utf8);
    if (!result) {
        error = std::string(result.description()) + " at offset " + std::to_string(result.offset);
        return false;
    }
    if (!CheckDocumentShape(doc, error)) {
        return false;
    }
    ReadCommand(doc.document_element(), command);
    return true;
}

std::string PrintableText(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += HEX[byte >> 4];
            out += HEX[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}
