// Frames of the card link: the big-endian length header, and the reader that cuts frames out of a
// byte stream. Frame.h draws the layout.
#include "wire/Frame.h"

#include <algorithm>
#include <cstring>

std::string FrameHeader(uint32_t length) {
    const char header[FRAME_HEADER_BYTES] = {
        static_cast<char>((length >> 24) & 0xFF), static_cast<char>((length >> 16) & 0xFF),
        static_cast<char>((length >> 8) & 0xFF), static_cast<char>(length & 0xFF)};
    return std::string(header, FRAME_HEADER_BYTES);
}

std::string EncodeFrame(std::string_view text) {
    std::string frame;
    frame.reserve(FRAME_HEADER_BYTES + text.size());
    frame += FrameHeader(static_cast<uint32_t>(text.size()));
    frame += text;
    return frame;
}

uint32_t DecodeFrameLength(const unsigned char* header) {
    return (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) | (uint32_t{header[2]} << 8) |
           uint32_t{header[3]};
}

CFrameReader::Step CFrameReader::Take(std::string_view bytes) {
    if (m_tooLong) {
        return {0, Event::TooLong};
    }
    if (bytes.empty()) {
        return {0, Event::None};
    }
    if (!m_inBody) {
        const std::size_t take = std::min(bytes.size(), FRAME_HEADER_BYTES - m_headerBytes);
        std::memcpy(m_header.data() + m_headerBytes, bytes.data(), take);
        m_headerBytes += take;
        if (m_headerBytes < FRAME_HEADER_BYTES) {
            return {take, Event::None};
        }
        m_headerBytes = 0;
        m_length = DecodeFrameLength(m_header.data());
        if (m_length == 0) {
            return {take, Event::KeepAlive};
        }
        if (m_length > MAX_FRAME_BYTES) {
            m_tooLong = true;
            return {take, Event::TooLong};
        }
        m_inBody = true;
        return {take, Event::None};
    }
    const std::size_t take = std::min<std::size_t>(bytes.size(), m_length - m_body.size());
    const std::size_t needed = m_body.size() + take;
    if (needed > m_body.capacity()) {
        m_body.reserve(std::min<std::size_t>(m_length, std::max(needed, 2 * m_body.capacity())));
    }
    m_body.append(bytes.data(), take);
    if (m_body.size() < m_length) {
        return {take, Event::None};
    }
    m_inBody = false;
    return {take, Event::Text};
}

std::string CFrameReader::TakeText() {
    std::string text;
    text.swap(m_body);
    return text;
}

void CFrameReader::Clear() {
    std::string().swap(m_body);
    m_headerBytes = 0;
    m_inBody = false;
    m_tooLong = false;
    m_length = 0;
}
