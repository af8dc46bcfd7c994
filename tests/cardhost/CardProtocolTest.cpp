// The card host's protocol texts: commands recognised whatever their layout, text that is not well
// formed refused with its place, and output kept to one line.
#include "cardhost/CardProtocol.h"

#include <gtest/gtest.h>

namespace {

TEST(CardProtocol, CommandsAreRecognisedWhateverTheirLayout) {
    struct Case {
        std::string text;
        CommandKind kind;
        uint32_t serial;
        std::size_t parameters;
    };
    const Case cases[] = {
        {"<?xml version=\"1.0\"?>\n<Message version=\"1.0\"><Command><Connect><Card "
         "serial-nr=\"0815\"/></Connect></Command></Message>\r\n",
         CommandKind::Connect, 815, 0},
        {"<!-- note --><Message><Command> <Start item=\"resync\"/> </Command></Message>",
         CommandKind::StartResync, 0, 0},
        {"<Message version=\"1.0\"><Command><Set><ParameterList><Parameter name=\"a\" "
         "value=\"&lt;\"/>"
         "<Parameter name=\"b\"/></ParameterList></Set></Command></Message>",
         CommandKind::SetParameters, 0, 2},
        {"<Message><Command><Set><Configuration/></Set></Command></Message>",
         CommandKind::SetConfiguration, 0, 0},
        {"<Message><Command><Connect><Card "
         "serial-nr=\"2147483648\"/></Connect></Command></Message>",
         CommandKind::Unknown, 0, 0},
        {"<Message><Command><Connect><Card serial-nr=\"0\"/></Connect></Command></Message>",
         CommandKind::Unknown, 0, 0},
        {"<Message><Command/></Message>", CommandKind::Unknown, 0, 0},
        {"<Message/>", CommandKind::Unknown, 0, 0},
        {"<Other><Command><Start item=\"resync\"/></Command></Other>", CommandKind::Unknown, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CardCommand command;
        std::string error;
        ASSERT_TRUE(ParseCommand(c.text, command, error)) << error;
        EXPECT_EQ(command.kind, c.kind);
        EXPECT_EQ(command.serial, c.serial);
        EXPECT_EQ(command.parameters.size(), c.parameters);
        EXPECT_EQ(command.detail.empty(), c.kind != CommandKind::Unknown) << command.detail;
    }
}

TEST(CardProtocol, NotWellFormedTextIsRefusedWithThePlace) {
    CardCommand command;
    std::string error;
    EXPECT_FALSE(ParseCommand("<Message><Command></Message>", command, error));
    EXPECT_NE(error.find(" at offset "), std::string::npos) << error;
    EXPECT_FALSE(ParseCommand("", command, error));
    EXPECT_EQ(error, "no root element");
    EXPECT_FALSE(ParseCommand("<A><B c=\"1\" d=\"2\" c=\"3\"/></A>", command, error));
    EXPECT_EQ(error, "repeated attribute c in B");
}

TEST(CardProtocol, OutputTextKeepsToOneLine) {
    EXPECT_EQ(PrintableText("a\r\nb\tc\x7f<d>"), "a\\x0d\\x0ab\\x09c\\x7f<d>");
}

}  // namespace
