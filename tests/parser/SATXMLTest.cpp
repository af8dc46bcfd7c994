// The card message parser: element extraction, cards information, parameter lists, traffic records
// by key and field width, text carried across calls, and a message of the largest size.
#include "parser/SATXML.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "resources/OrvaneTypes.h"

namespace {

using ::testing::ElementsAreArray;

std::string DataMessage(const std::string& text) {
    return "<Message version=\"1.0\"><Data><Text>" + text + "</Text></Data></Message>";
}

std::string InformationMessage(const std::string& inner) {
    return "<Message version=\"1.0\"><Information>" + inner + "</Information></Message>";
}

std::string CardsMessage(const std::string& cards) {
    return InformationMessage("<Cards>" + cards + "</Cards>");
}

std::string Card(int number, const std::string& serial) {
    return "<Card number=\"" + std::to_string(number) + "\" serial-nr=\"" + serial + "\"/>";
}

std::string ParametersMessage(const std::string& parameters) {
    return InformationMessage("<ParameterList>" + parameters + "</ParameterList>");
}

// --- Element extraction, seen through ParseDataText and the stored text ---

struct ExtractCase {
    const char* name;
    std::string message;
    bool found;
    std::string text;  // stored text afterwards; "old" when it must be kept
};

TEST(SATXMLTest, DataTextFollowsElementRules) {
    const ExtractCase cases[] = {
        {"plain", DataMessage("abc"), true, "abc"},
        {"empty text", DataMessage(""), true, ""},
        {"attributes skipped",
         "<Message version=\"1.0\"><Data kind=\"x\"><Text lang=\"en\">abc</Text></Data></Message>",
         true, "abc"},
        {"opening tag is a prefix", "<Message><DataSet><Texts>abc</Text></Data></Message>", true,
         "abc"},
        {"first closing tag ends", "<Message><Data><Text>a</Text>b</Text></Data></Message>", true,
         "a"},
        {"nested same name", "<Message><Data><Text><Text>x</Text></Text></Data></Message>", true,
         "<Text>x"},
        {"first > ends the opening tag",
         "<Message><Data><Text a=\"x>y\">abc</Text></Data></Message>", true, "y\">abc"},
        {"no Text", "<Message><Data>abc</Data></Message>", false, "old"},
        {"wrong nesting", "<Message><Text>abc</Text><Data></Data></Message>", false, "old"},
        {"Text not closed", "<Message><Data><Text>abc</Data></Message>", false, "old"},
        {"opening tag not ended", "<Message", false, "old"},
        {"closing tag case", "<Message><Data><Text>abc</text></Data></Message>", false, "old"},
        {"tag case", "<message><Data><Text>a</Text></Data></message>", false, "old"},
    };
    for (const ExtractCase& c : cases) {
        SCOPED_TRACE(c.name);
        CSATXML parser;
        ASSERT_TRUE(parser.ParseDataText(DataMessage("old")));
        EXPECT_EQ(parser.ParseDataText(c.message), c.found);
        EXPECT_EQ(parser.Text(), c.text);
    }
}

// --- Cards information ---

struct CardsCase {
    const char* name;
    std::string message;
    bool found;
    std::vector<int32_t> appended;  // after the one entry the list held before
};

TEST(SATXMLTest, CardsInformationYieldsSerialNumbers) {
    std::string tenCards;
    for (int i = 1; i <= 10; ++i) {
        tenCards += Card(i, std::to_string(100 + i));
    }
    const CardsCase cases[] = {
        {"two cards", CardsMessage(Card(1, "4711") + Card(2, "815")), true, {4711, 815}},
        {"no cards", "<Message><Information><Cards></Cards></Information></Message>", true, {}},
        {"ten cards, eight taken",
         CardsMessage(tenCards),
         true,
         {101, 102, 103, 104, 105, 106, 107, 108}},
        {"empty serial stops",
         CardsMessage(Card(1, "1") + Card(2, "2") + Card(3, "") + Card(4, "4")),
         true,
         {1, 2}},
        {"unterminated serial stops", CardsMessage("<Card number=\"1\" serial-nr=\"12"), true, {}},
        {"missing serial lends its pass",
         CardsMessage("<Card number=\"1\"/>" + Card(2, "20") + Card(3, "30")),
         true,
         {20, 30}},
        {"missing serial in the last",
         CardsMessage(Card(1, "10") + "<Card number=\"2\"/>"),
         true,
         {10}},
        {"missing serial still uses a pass",
         CardsMessage(Card(1, "1") + Card(2, "2") + Card(3, "3") + Card(4, "4") + Card(5, "5") +
                      Card(6, "6") + Card(7, "7") + "<Card number=\"8\"/>" + Card(9, "9") +
                      Card(10, "10")),
         true,
         {1, 2, 3, 4, 5, 6, 7, 9}},
        {"atoi: blanks, sign, trailing",
         CardsMessage(Card(1, " \t-42x") + Card(2, "+7")),
         true,
         {-42, 7}},
        {"atoi: no digits", CardsMessage(Card(1, "abc")), true, {0}},
        {"atoi: saturates",
         CardsMessage(Card(1, "99999999999") + Card(2, "-99999999999")),
         true,
         {2147483647, -2147483647 - 1}},
        {"key at the end", CardsMessage("<Card number="), true, {}},
        {"serial key at the end", CardsMessage("<Card number=\"1\" serial-nr="), true, {}},
        {"keys are case-sensitive", CardsMessage("<Card Number=\"1\" serial-nr=\"5\"/>"), true, {}},
        {"no Cards", InformationMessage(Card(1, "5")), false, {}},
        {"Cards outside Information",
         "<Message><Cards>" + Card(1, "5") + "</Cards></Message>",
         false,
         {}},
    };
    for (const CardsCase& c : cases) {
        SCOPED_TRACE(c.name);
        CSATXML parser;
        std::vector<int32_t> list{-1};
        EXPECT_EQ(parser.ParseCardsInformation(c.message, list), c.found);
        std::vector<int32_t> expected{-1};
        expected.insert(expected.end(), c.appended.begin(), c.appended.end());
        EXPECT_THAT(list, ElementsAreArray(expected));
    }
}

TEST(SATXMLTest, CardsInformationTwiceAppendsTwice) {
    CSATXML parser;
    std::vector<int32_t> list;
    const std::string message = CardsMessage(Card(1, "4711"));
    ASSERT_TRUE(parser.ParseCardsInformation(message, list));
    ASSERT_TRUE(parser.ParseCardsInformation(message, list));
    EXPECT_THAT(list, ElementsAreArray({4711, 4711}));
}

// --- Parameter lists ---

struct ParameterCase {
    const char* name;
    std::string message;
    bool found;
    std::vector<std::pair<std::string, std::string>> entries;
};

TEST(SATXMLTest, ParameterListSplitsSelfClosingElements) {
    const ParameterCase cases[] = {
        {"two entries",
         ParametersMessage("<Parameter name=\"code\" value=\"no-mode\"/>"
                           "<Parameter name=\"als\" value=\"off\"/>"),
         true,
         {{"code", "no-mode"}, {"als", "off"}}},
        {"empty list", ParametersMessage(""), true, {}},
        {"missing value", ParametersMessage("<Parameter name=\"code\"/>"), true, {{"code", ""}}},
        {"missing name", ParametersMessage("<Parameter value=\"1\"/>"), true, {{"", ""}}},
        {"value before name",
         ParametersMessage("<Parameter value=\"1\" name=\"a\"/>"),
         true,
         {{"a", ""}}},
        {"value searched after the name",
         ParametersMessage("<Parameter name=\"value\" value=\"1\"/>"),
         true,
         {{"value", "1"}}},
        {"unterminated quote", ParametersMessage("<Parameter name=\"abc/>"), true, {{"", ""}}},
        {"no /> ends the list",
         ParametersMessage("<Parameter name=\"a\" value=\"1\"/><Parameter name=\"x\" value=\"y\">"),
         true,
         {{"a", "1"}}},
        {"element without /> runs to the next /> ",
         ParametersMessage("<Parameter name=\"x\" value=\"y\"><Parameter name=\"b\" value=\"2\"/>"
                           "<Parameter name=\"c\" value=\"3\"/>"),
         true,
         {{"x", "y"}, {"c", "3"}}},
        {"other elements skipped",
         ParametersMessage("<Other name=\"z\" value=\"0\"/><Parameter name=\"a\" value=\"1\"/>"),
         true,
         {{"a", "1"}}},
        {"tag is a prefix",
         ParametersMessage("<ParameterX name=\"p\" value=\"q\"/>"),
         true,
         {{"p", "q"}}},
        {"values verbatim",
         ParametersMessage("<Parameter name=\" a&amp;b \" value=\"\"/>"),
         true,
         {{" a&amp;b ", ""}}},
        {"traffic text message", DataMessage("MODE: B SERV:DATA EVNT:end;"), false, {}},
        {"no ParameterList", InformationMessage("<Parameter name=\"a\" value=\"1\"/>"), false, {}},
    };
    for (const ParameterCase& c : cases) {
        SCOPED_TRACE(c.name);
        CSATXML parser;
        std::vector<ParameterEntry> list{{"stale", "entry"}};
        EXPECT_EQ(parser.ParseParameterList(c.message, list), c.found);
        std::vector<std::pair<std::string, std::string>> got;
        for (const ParameterEntry& e : list) {
            got.emplace_back(e.name, e.value);
        }
        EXPECT_THAT(got, ElementsAreArray(c.entries));
    }
}

// --- Traffic records ---

struct Record {
    int32_t mode, service, event, mesId;
    bool operator==(const Record&) const = default;
};

void PrintTo(const Record& r, std::ostream* os) {
    *os << "{" << r.mode << "," << r.service << "," << r.event << "," << r.mesId << "}";
}

std::vector<Record> AllRecords(CSATXML& parser) {
    std::vector<Record> records;
    Record r{-1, -1, -1, -1};
    while (records.size() < 100 && parser.NextTrafficRecord(r.mode, r.service, r.event, r.mesId)) {
        records.push_back(r);
        r = {-1, -1, -1, -1};
    }
    EXPECT_EQ(r, (Record{0, 0, 0, 0})) << "outputs after the last record";
    return records;
}

struct TrafficCase {
    const char* name;
    std::string text;
    std::vector<Record> records;
};

TEST(SATXMLTest, TrafficRecordsFollowKeysAndFieldWidths) {
    const TrafficCase cases[] = {
        {"two records",
         "MODE: M SERV:DATA EVNT:srt MES_ID:12345678 TX_CHA_ID:3;"
         "MODE: M SERV:DATA EVNT:end;",
         {{1, 2, 2, 12345678}, {1, 2, 5, 0}}},
        {"telex", "MODE:mM SERV:TELEX MM EVNT:ccs;", {{2, 6, 1, 0}}},
        {"modes",
         "MODE: B;MODE: M;MODE:mM;MODE: C;MODE:MM;MODE:B ;MODE: b;",
         {{0, 0, 0, 0},
          {1, 0, 0, 0},
          {2, 0, 0, 0},
          {3, 0, 0, 0},
          {0, 0, 0, 0},
          {0, 0, 0, 0},
          {0, 0, 0, 0}}},
        {"services",
         "MODE: C SERV:TEL EVNT:ann;MODE: C SERV:FAX EVNT:ass;MODE: C SERV:ISDN;"
         "MODE: C SERV:TELEX SM;MODE: C SERV:TELEX;MODE: C SERV:tel ;",
         {{3, 1, 3, 0}, {3, 3, 4, 0}, {3, 4, 0, 0}, {3, 5, 0, 0}, {3, 0, 0, 0}, {3, 0, 0, 0}}},
        {"service FAX, is none", "MODE: B SERV:FAX,EVNT:ccs;", {{0, 0, 1, 0}}},
        {"event is case-sensitive", "MODE: B SERV:DATA EVNT:SRT MES_ID:5;", {{0, 2, 0, 0}}},
        {"MES ID only for a start", "MODE: B SERV:DATA EVNT:end MES_ID:5;", {{0, 2, 5, 0}}},
        {"keys are case-sensitive",
         "mode: M SERV:DATA EVNT:end;MODE: M serv:DATA EVNT:end;",
         {{1, 0, 5, 0}}},
        {"text before the first MODE:",
         "junk; SERV:FAX EVNT:srt;MODE: B SERV:TEL EVNT:end;",
         {{0, 1, 5, 0}}},
        {"final record without ;",
         "MODE: C SERV:ISDN EVNT:ann;MODE: M SERV:DATA EVNT:end",
         {{3, 4, 3, 0}}},
        {"no ;", "MODE: M SERV:DATA EVNT:end", {}},
        {"no MODE:", "SERV:DATA EVNT:end;", {}},
        {"SERV: after EVNT:", "MODE: M EVNT:srt SERV:DATA MES_ID:7;", {{1, 2, 0, 0}}},
        {"MES_ID: before EVNT:", "MODE: M SERV:DATA MES_ID:7 EVNT:srt;", {{1, 2, 2, 0}}},
        {"missing SERV:", "MODE: M EVNT:srt MES_ID:42;", {{1, 0, 2, 42}}},
        {"missing EVNT:", "MODE: M SERV:DATA MES_ID:42;", {{1, 2, 0, 0}}},
        {"missing MES_ID:", "MODE: M SERV:DATA EVNT:srt;MES_ID:99;", {{1, 2, 2, 0}}},
        {"keys of the next record unseen", "MODE: M;SERV:DATA EVNT:end;", {{1, 0, 0, 0}}},
        {"next key searched right after the key, not after its value",
         "MODE:SERV:DATA EVNT:end;MODE: B SERV:EVNT:ccs;MODE: C EVNT:MES_ID:5;",
         {{0, 2, 5, 0}, {0, 0, 1, 0}, {3, 0, 0, 0}}},
        {"short fields at the end",
         "MODE:m;MODE: M SERV:TEL;MODE: M SERV:TELEX M;MODE: B EVNT:sr;",
         {{0, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {0, 0, 0, 0}}},
        {"short MES ID at the end",
         "MODE: B EVNT:srt MES_ID:12;MODE: B EVNT:srt MES_ID:;",
         {{0, 0, 2, 12}, {0, 0, 2, 0}}},
        {"MES ID cut to 8 digits", "MODE: B EVNT:srt MES_ID:123456789;", {{0, 0, 2, 12345678}}},
        {"MES ID blanks count in the width",
         "MODE: B EVNT:srt MES_ID: 1234567890;",
         {{0, 0, 2, 1234567}}},
        {"MES ID signs",
         "MODE: B EVNT:srt MES_ID:-1234567;MODE: B EVNT:srt MES_ID:+00042;",
         {{0, 0, 2, -1234567}, {0, 0, 2, 42}}},
        {"MES ID blanks and tab", "MODE: B EVNT:srt MES_ID:  \t  -5x;", {{0, 0, 2, -5}}},
        {"MES ID digits beyond the width", "MODE: B EVNT:srt MES_ID:        9;", {{0, 0, 2, 0}}},
        {"MES ID stops at a non-digit",
         "MODE: B EVNT:srt MES_ID:12ab34;MODE: B EVNT:srt MES_ID:x12;MODE: B EVNT:srt MES_ID:-;",
         {{0, 0, 2, 12}, {0, 0, 2, 0}, {0, 0, 2, 0}}},
    };
    for (const TrafficCase& c : cases) {
        SCOPED_TRACE(c.name);
        CSATXML parser;
        ASSERT_TRUE(parser.ParseDataText(DataMessage(c.text)));
        EXPECT_THAT(AllRecords(parser), ElementsAreArray(c.records));
    }
}

TEST(SATXMLTest, StoredTextCarriesAcrossCalls) {
    CSATXML parser;
    EXPECT_TRUE(AllRecords(parser).empty()) << "nothing stored at construction";

    ASSERT_TRUE(parser.ParseDataText(
        DataMessage("MODE: M SERV:DATA EVNT:srt MES_ID:1;MODE: B SERV:FAX EVNT:end;MODE: C")));
    Record r{};
    ASSERT_TRUE(parser.NextTrafficRecord(r.mode, r.service, r.event, r.mesId));
    EXPECT_EQ(r, (Record{1, 2, 2, 1}));
    EXPECT_EQ(parser.Text(), ";MODE: B SERV:FAX EVNT:end;MODE: C");

    // A failed parse keeps the rest of the stored text.
    EXPECT_FALSE(parser.ParseDataText("<Message><Data>MODE: C;</Data></Message>"));
    ASSERT_TRUE(parser.NextTrafficRecord(r.mode, r.service, r.event, r.mesId));
    EXPECT_EQ(r, (Record{0, 3, 5, 0}));

    // The unterminated final record waits until a new text replaces it.
    EXPECT_FALSE(parser.NextTrafficRecord(r.mode, r.service, r.event, r.mesId));
    EXPECT_EQ(parser.Text(), ";MODE: C");
    ASSERT_TRUE(parser.ParseDataText(DataMessage("MODE: M SERV:ISDN EVNT:ass;")));
    EXPECT_THAT(AllRecords(parser), ElementsAreArray({Record{1, 4, 4, 0}}));
}

TEST(SATXMLTest, MessageOfTheLargestSizeParsesCompletely) {
    const std::string record = "MODE: M SERV:DATA EVNT:srt MES_ID:87654321;";
    const std::string envelope = DataMessage("");
    const size_t count = (32723 - envelope.size()) / record.size();
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += record;
    }
    CSATXML parser;
    ASSERT_TRUE(parser.ParseDataText(DataMessage(text)));
    size_t seen = 0;
    Record r{};
    while (parser.NextTrafficRecord(r.mode, r.service, r.event, r.mesId)) {
        ASSERT_EQ(r, (Record{1, 2, 2, 87654321}));
        ++seen;
    }
    EXPECT_EQ(seen, count);
}

}  // namespace
