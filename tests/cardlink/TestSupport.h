// Helpers of the card link tests: a log file to read back, records taken
// from the queue field by field at their fixed offsets, and a stopwatch.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cardlink/EventQueue.h"
#include "cardlink/Logger.h"

// A logger writing to a fresh temporary file, removed at the end.
class CTempLog {
public:
    CTempLog() {
        char path[] = "/tmp/orvane-cardlink-log-XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) {
            close(fd);
        }
        m_path = path;
        m_logger = std::make_unique<CLogger>(m_path);
    }
    ~CTempLog() {
        m_logger.reset();
        std::remove(m_path.c_str());
    }
    CTempLog(const CTempLog&) = delete;
    CTempLog& operator=(const CTempLog&) = delete;

    CLogger* Logger() { return m_logger.get(); }

    // The entry texts in file order, each without its time stamp, line ends as LF.
    std::vector<std::string> Entries() const {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream raw;
        raw << in.rdbuf();
        std::string text = raw.str();
        std::string lf;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                continue;
            }
            lf += text[i];
        }
        static const std::regex stamp(R"(\d{4}/\d{1,2}/\d{1,2}  \d\d:\d\d:\d\d\.\d{3})");
        std::vector<std::string> entries;
        size_t start = 0;
        while (start < lf.size()) {
            const size_t end = lf.find('\n', start);
            const std::string line =
                lf.substr(start, end == std::string::npos ? std::string::npos : end - start);
            const size_t next = end == std::string::npos ? lf.size() : end + 1;
            if (std::regex_match(line, stamp)) {
                entries.emplace_back();
            } else if (entries.empty()) {
                ADD_FAILURE() << "log text before the first time stamp: " << line;
                return entries;
            } else {
                entries.back() += lf.substr(start, next - start);
            }
            start = next;
        }
        return entries;
    }

private:
    std::string m_path;
    std::unique_ptr<CLogger> m_logger;
};

// One record taken from the queue, its fields read at their offsets.
struct TakenRecord {
    uint16_t type = 0;
    int16_t length = 0;
    int32_t card = 0;
    int16_t status = 0;
    std::string address;
    std::string payload;
};

inline std::optional<TakenRecord> TakeRecord(CCircularBuffer<char>& queue,
                                             int32_t timeoutMs = 1000) {
    char header[44];
    if (!queue.Read(header, 44, timeoutMs)) {
        return std::nullopt;
    }
    TakenRecord record;
    std::memcpy(&record.type, header + 0, 2);
    std::memcpy(&record.length, header + 2, 2);
    std::memcpy(&record.card, header + 4, 4);
    std::memcpy(&record.status, header + 8, 2);
    if (record.type == 100) {
        const size_t used = strnlen(header + 10, 31);
        EXPECT_LT(used, 31u) << "the address field is not NUL-terminated";
        record.address.assign(header + 10, used);
    }
    if (record.length > 44) {
        record.payload.resize(static_cast<size_t>(record.length - 44));
        if (!queue.Read(record.payload.data(), record.length - 44, 0)) {
            ADD_FAILURE() << "payload of a complete header not readable";
            return std::nullopt;
        }
    }
    return record;
}

inline int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}
