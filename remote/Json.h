// The texts the station hands to others over the network, whoever reads them
// (the HTTP status, the broker's payloads, the metrics' labels): JSON strings
// and objects, UTF-8 text and local times. Pure text; any thread.
//
// The station's texts are 8-bit strings: a text that is valid UTF-8 goes out
// as it is; any other byte of 0x80 or above is read as Latin-1, so that every
// payload is valid JSON (and every label valid UTF-8) whatever the
// configuration file held.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Appends `text` to `out` as a JSON string, quotes included. A byte that is not
// part of valid UTF-8 is written as \u00XX, its Latin-1 character.
void AppendJsonString(std::string& out, std::string_view text);

// `text` as valid UTF-8 by the same rule: valid sequences kept, every other
// byte of 0x80 or above taken as its Latin-1 character.
std::string Utf8Text(std::string_view text);

// "2026-03-01T14:05:09+01:00": seconds since 1970 in local time, with the
// offset from UTC; empty when the time cannot be shown.
std::string IsoLocalTime(int64_t wallSeconds);

// [a,b,...] of values already written as JSON.
std::string JsonArray(const std::vector<std::string>& values);

// {"error":"text"} and a line end: the body of an HTTP answer that failed.
std::string ErrorJson(std::string_view text);

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
    // `json` is a value already written as JSON (an object, an array).
    CJsonObject& Value(std::string_view key, std::string_view json) {
        Key(key);
        m_text += json;
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
