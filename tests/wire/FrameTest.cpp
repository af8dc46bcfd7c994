// The framing's byte layout, pinned by literal bytes (both ends of every other
// test frame through the same code), and the reader's handling of a stream cut
// into any pieces.
#include "wire/Frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// What the reader makes of `stream` fed `piece` bytes at a time: each text,
// "~" for a keep-alive, "!" for a header that breaks the limit, and at the end
// "+N" when N bytes were left untaken.
std::vector<std::string> Read(const std::string& stream, std::size_t piece) {
    CFrameReader reader;
    std::vector<std::string> seen;
    std::size_t at = 0;
    while (at < stream.size()) {
        std::string_view chunk = std::string_view(stream).substr(at, piece);
        const CFrameReader::Step step = reader.Take(chunk);
        if (step.taken == 0) {
            break;
        }
        at += step.taken;
        switch (step.event) {
            case CFrameReader::Event::None:
                break;
            case CFrameReader::Event::KeepAlive:
                seen.push_back("~");
                break;
            case CFrameReader::Event::Text:
                seen.push_back(reader.TakeText());
                break;
            case CFrameReader::Event::TooLong:
                seen.push_back("!");
                break;
        }
    }
    if (at < stream.size()) {
        seen.push_back("+" + std::to_string(stream.size() - at));
    }
    return seen;
}

TEST(Frame, HeadersAreFourBytesBigEndian) {
    EXPECT_EQ(FrameHeader(0x01020304), "\x01\x02\x03\x04");
    EXPECT_EQ(EncodeFrame("ab"), "\0\0\0\x02"s + "ab");
    EXPECT_EQ(EncodeFrame(""), "\0\0\0\0"s);
    const unsigned char header[] = {0x00, 0x10, 0x00, 0x01};
    EXPECT_EQ(DecodeFrameLength(header), 1048577u);
}

TEST(Frame, ReaderCutsTheSameFramesWhateverThePieces) {
    const std::string limit = FrameHeader(MAX_FRAME_BYTES) + std::string(MAX_FRAME_BYTES, 'x');
    const struct {
        const char* name;
        std::string stream;
        std::vector<std::string> seen;
    } cases[] = {
        {"texts and a keep-alive",
         EncodeFrame("one") + FrameHeader(0) + EncodeFrame("two"),
         {"one", "~", "two"}},
        {"a partial frame is held back",
         EncodeFrame("whole") + EncodeFrame("cut").substr(0, 5),
         {"whole"}},
        {"a frame of the limit", limit, {std::string(MAX_FRAME_BYTES, 'x')}},
        {"one byte over the limit ends the reading",
         EncodeFrame("before") + FrameHeader(MAX_FRAME_BYTES + 1) + EncodeFrame("after"),
         {"before", "!", "+9"}},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{3}, c.stream.size()}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            if (piece == 1 && c.stream.size() > 100000) {
                continue;  // a megabyte a byte at a time proves nothing more
            }
            EXPECT_EQ(Read(c.stream, piece), c.seen);
        }
    }
}

}  // namespace
