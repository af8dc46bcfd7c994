// Parser of the short XML-like messages that the decoder cards send.
//
// Three kinds are understood: Cards information (the serial numbers of the
// cards a host carries), parameter lists (name/value pairs) and traffic text
// (records "MODE:.. SERV:.. EVNT:.. [MES_ID:..];"). It is a set of plain text
// searches, not an XML parser: first occurrences of fixed tags and keys, values
// read at fixed widths, no character references decoded. Whatever the input,
// it never reads outside the text it was given.
//
// Not thread-safe: the dispatch thread alone uses it. ParseDataText keeps the
// traffic text for the NextTrafficRecord calls that follow it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ParameterEntry {
    std::string name;
    std::string value;
};

class CSATXML {
public:
    CSATXML();
    virtual ~CSATXML();

    // True when the message has Message, Information and Cards nested in that
    // order; the serial numbers of at most 8 Card elements are then appended to
    // `list` (which is not emptied first).
    bool ParseCardsInformation(const std::string& message, std::vector<int32_t>& list);

    // Empties `list`, always. True when the message has Message, Information and
    // ParameterList nested in that order; one entry per Parameter element is then appended.
    bool ParseParameterList(const std::string& message, std::vector<ParameterEntry>& list);

    // True when the message has Message, Data and Text nested in that order; the
    // Text content then replaces the stored traffic text. When false the stored text is kept.
    bool ParseDataText(const std::string& message);

    // Sets all four outputs to 0, then takes the next record out of the stored
    // traffic text; false when there is none. `mode` is a SatMode, `service` a
    // ServiceType, `event` a TrafficEvent; `mesId` is 0 unless the event is EV_START.
    bool NextTrafficRecord(int32_t& mode, int32_t& service, int32_t& event, int32_t& mesId);

    // The traffic text not yet consumed.
    const std::string& Text() const { return m_text; }

private:
    // The helpers work on views into the caller's text, so that a message is
    // searched in place and only the results are copied.
    bool ExtractElement(std::string_view source, std::string_view tag, std::string_view& out) const;
    void ParseCardList(std::string_view cardsText, std::vector<int32_t>& list) const;
    std::vector<std::string_view> SplitElements(std::string_view tag, std::string_view text) const;
    void ParseNameValue(std::string_view elementText, ParameterEntry& entry) const;
    std::string NextRecordText();

    const std::string m_messageTag = "Message";
    const std::string m_dataTag = "Data";
    const std::string m_textTag = "Text";
    const std::string m_informationTag = "Information";
    const std::string m_cardsTag = "Cards";
    std::string m_text;
    const std::string m_modeKey = "MODE:";
    const std::string m_serviceKey = "SERV:";
    const std::string m_eventKey = "EVNT:";
    const std::string m_mesIdKey = "MES_ID:";
    const std::string m_cardNumberKey = "Card number=";
    const std::string m_serialKey = "serial-nr=";
    const std::string m_parameterListTag = "ParameterList";
    const std::string m_parameterTag = "Parameter";
    const std::string m_recordTerminator = ";";
};
