// A writer for the small flat JSON objects the station hands to others (the
// broker's payloads, the status of a card): keys in the order they are added,
// strings escaped, nothing parsed.
//
// The station's texts are 8-bit strings: a text that is valid UTF-8 goes out
// as it is; any other byte of 0x80 or above is read as Latin-1 and written as
// \u00XX, so every payload is valid JSON whatever the configuration file held.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Appends `text` to `out` as a JSON string, quotes included.
inline void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    auto escapeByte = [&out](unsigned char byte) {
        out += "\\u00";
        out += HEX[byte >> 4];
        out += HEX[byte & 0x0F];
    };
    // The length of the valid UTF-8 sequence at `i`, 0 when there is none.
    auto sequenceAt = [&text](size_t i) -> size_t {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t lowest = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            lowest = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            lowest = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            lowest = 0x10000;
        } else {
            return 0;
        }
        if (i + length > text.size()) {
            return 0;
        }
        uint32_t code = lead & (0x7Fu >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return 0;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
        return code < lowest || code > 0x10FFFF || surrogate ? 0 : length;
    };

    out += '"';
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const size_t length = sequenceAt(i);
            if (length == 0) {
                escapeByte(byte);
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    escapeByte(byte);
                } else {
                    out += static_cast<char>(byte);
                }
        }
        ++i;
    }
    out += '"';
}

// One JSON object, built field by field: CJsonObject().Number("card", 3).Text().
class CJsonObject {
public:
    CJsonObject& String(std::string_view key, std::string_view value) {
        Key(key);
        AppendJsonString(m_text, value);
        return *this;
    }
    CJsonObject& Number(std::string_view key, int64_t value) {
        Key(key);
        m_text += std::to_string(value);
        return *this;
    }
    CJsonObject& Boolean(std::string_view key, bool value) {
        Key(key);
        m_text += value ? "true" : "false";
        return *this;
    }
    CJsonObject& Null(std::string_view key) {
        Key(key);
        m_text += "null";
        return *this;
    }
    // The value as a string, or null when `present` is false.
    CJsonObject& StringOrNull(std::string_view key, bool present, std::string_view value) {
        return present ? String(key, value) : Null(key);
    }
    CJsonObject& NumberOrNull(std::string_view key, bool present, int64_t value) {
        return present ? Number(key, value) : Null(key);
    }

    std::string Text() const { return m_text + '}'; }

private:
    void Key(std::string_view key) {
        m_text += m_text.size() > 1 ? "," : "";
        AppendJsonString(m_text, key);
        m_text += ':';
    }

    std::string m_text = "{";
};
