// How a message travels on the TCP link between the card library and a card
// host, in both directions:
//
//     +--------------------------------+------------------------+
//     | N: 4 bytes, unsigned, big-endian | N bytes of message text |
//     +--------------------------------+------------------------+
//
// N = 0 is a keep-alive, which carries nothing and is skipped. N above
// MAX_FRAME_BYTES breaks the rules: the receiver ends the connection.
//
// The card library (vexlink/), the card host emulator (cardhost/) and the
// tests' clients all frame and unframe through here. Pure functions and a
// reader that holds only its own frame; no sockets, no threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr std::size_t FRAME_HEADER_BYTES = 4;
constexpr uint32_t MAX_FRAME_BYTES = 1048576;

// The header announcing `length` bytes of text.
std::string FrameHeader(uint32_t length);
// The header and the text; an empty text makes a keep-alive.
std::string EncodeFrame(std::string_view text);
// The length a header announces; `header` holds FRAME_HEADER_BYTES bytes.
uint32_t DecodeFrameLength(const unsigned char* header);

// Cuts frames out of a byte stream whatever pieces it arrives in:
//
//     bytes --Take--> header --(N = 0)---------> KeepAlive
//                       |----(N > MAX)---------> TooLong (for good)
//                       '--> body, as it comes --> Text --TakeText
//
// The body's buffer grows with the bytes that arrive, never ahead of them up
// to the announced length, so a header alone costs nothing.
class CFrameReader {
public:
    enum class Event {
        None,       // all bytes taken, no frame complete
        KeepAlive,  // a header of length 0
        Text,       // a frame is complete; TakeText has it
        TooLong,    // a header beyond MAX_FRAME_BYTES; nothing more is read
    };
    struct Step {
        std::size_t taken;  // bytes taken from the front
        Event event;
    };

    // Takes bytes from the front of `bytes`, up to the end of the next
    // header or frame, whichever comes first.
    Step Take(std::string_view bytes);
    // The text of the frame just completed; the buffer goes with it.
    std::string TakeText();
    // The length of the last header read (of the frame that was too long).
    uint32_t Length() const { return m_length; }
    // What the buffer of a partly received frame holds on to; 0 between frames.
    std::size_t BufferBytes() const { return m_inBody ? m_body.capacity() : 0; }
    // Forgets a partly received frame and gives its buffer back.
    void Clear();

private:
    std::array<unsigned char, FRAME_HEADER_BYTES> m_header{};
    std::size_t m_headerBytes = 0;
    bool m_inBody = false;
    bool m_tooLong = false;
    uint32_t m_length = 0;
    std::string m_body;
};
