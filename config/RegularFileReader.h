// A file read byte by byte, but only when it is a regular file, and only up to
// a limit.
//
// The station reads its configuration while it starts, before it can answer a
// stop request. A path that names a FIFO, a device, a socket or a folder must
// not hold it there: a FIFO nobody writes would wait forever in open(), and
// /dev/zero would feed an endless stream. Such a path is refused without being
// opened for reading where it can be told beforehand, and always without
// waiting. The limit bounds the time and memory a regular file can take.
//
// Platform-specific: POSIX descriptors. One thread uses an object at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class CRegularFileReader {
public:
    // What Next gives at the end of the file, at the limit and after a read error.
    static constexpr int END = -1;

    CRegularFileReader() = default;
    ~CRegularFileReader();

    CRegularFileReader(const CRegularFileReader&) = delete;
    CRegularFileReader& operator=(const CRegularFileReader&) = delete;

    // Opens `path` (links followed) when it is a regular file that can be
    // read; at most `limit` bytes of it will be read. False, with nothing
    // open, for anything else. Never blocks on the kind of file it finds.
    bool Open(const std::string& path, uint64_t limit);
    bool IsOpen() const { return m_fd >= 0; }

    // The next byte as 0..255, or END. Once END has been given, it is given
    // for good.
    int Next();

private:
    bool Refill();
    void Close();

    int m_fd = -1;
    uint64_t m_left = 0;  // bytes that may still be read from the file
    std::array<unsigned char, 4096> m_buffer{};
    std::size_t m_pos = 0;
    std::size_t m_length = 0;
    bool m_ended = false;
};
