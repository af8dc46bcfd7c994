// JSON strings, UTF-8 text with stray bytes taken as Latin-1, ISO local times with their offset,
// and arrays. Json.h tells the rule.
#include "remote/Json.h"

#include <cstdio>
#include <ctime>

namespace {

// The length of the valid UTF-8 sequence at `text[i]`, 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, a cut sequence).
size_t Utf8SequenceAt(std::string_view text, size_t i) {
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
}

// Walks `text` by the station's rule: `ascii` for each byte below 0x80,
// `valid` for each valid UTF-8 sequence, `latin1` for every other byte.
template <typename Ascii, typename Valid, typename Latin1>
void ForEachCharacter(std::string_view text, Ascii ascii, Valid valid, Latin1 latin1) {
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const size_t length = byte < 0x80 ? 1 : Utf8SequenceAt(text, i);
        if (byte < 0x80) {
            ascii(byte);
        } else if (length != 0) {
            valid(text.substr(i, length));
        } else {
            latin1(byte);
        }
        i += length != 0 ? length : 1;
    }
}

void AppendEscaped(std::string& out, unsigned char byte) {
    static constexpr char HEX[] = "0123456789abcdef";
    out += "\\u00";
    out += HEX[byte >> 4];
    out += HEX[byte & 0x0F];
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
    auto ascii = [&out](unsigned char byte) {
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
                    AppendEscaped(out, byte);
                } else {
                    out += static_cast<char>(byte);
                }
        }
    };
    ForEachCharacter(
        text, ascii, [&out](std::string_view sequence) { out += sequence; },
        [&out](unsigned char byte) { AppendEscaped(out, byte); });
    out += '"';
}

std::string Utf8Text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachCharacter(
        text, [&out](unsigned char byte) { out += static_cast<char>(byte); },
        [&out](std::string_view sequence) { out += sequence; },
        [&out](unsigned char byte) {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        });
    return out;
}

std::string IsoLocalTime(int64_t wallSeconds) {
    const auto seconds = static_cast<time_t>(wallSeconds);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return std::string();
    }
    char stamp[40];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local) == 0) {
        return std::string();
    }
    // strftime's %z has no colon ("+0100"); ISO 8601's extended form wants one.
    const long offset = local.tm_gmtoff;
    const int minutes = static_cast<int>((offset < 0 ? -offset : offset) / 60 % (24 * 60));
    char zone[8];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return std::string(stamp) + zone;
}

std::string JsonArray(const std::vector<std::string>& values) {
    std::string out = "[";
    for (const std::string& value : values) {
        out += out.size() > 1 ? "," : "";
        out += value;
    }
    return out + ']';
}

std::string ErrorJson(std::string_view text) {
    return CJsonObject().String("error", text).Text() + '\n';
}
