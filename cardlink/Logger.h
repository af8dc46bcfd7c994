// Trace of the traffic with the cards: every message received, link change,
// command sent and host connect, each entry behind a local time stamp with
// milliseconds ("2017/3/5  09:04:03.007" and a line end). Entries come from
// the library's threads and the dispatch thread; one entry is written and
// flushed under the lock, so entries never interleave and each is on disk when
// Log returns. Line ends are written as CR LF.
//
// A logger made with an empty file name opens nothing and writes nothing; so is
// one whose file could not be created, or whose write failed. The core's is.
//
// Kept in this header alone, at the bottom of the card link: the cards log
// through it and the core, above them, owns it.
#pragma once

#include <sys/time.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>

class CLogger {
public:
    explicit CLogger(std::string fileName) {
        if (!fileName.empty()) {
            m_file.open(fileName, std::ios::out | std::ios::trunc | std::ios::binary);
            m_opened = true;
        }
    }
    virtual ~CLogger() {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_file.is_open()) {
            m_file.close();
        }
    }

    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    void Log(std::string entry) {
        if (!m_opened) {
            return;  // the common case: no file, and no cost beyond the call
        }
        std::string text = TimeStamp();
        text += entry;
        const std::string crlf = ToCrLf(text);
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_file.good()) {
            return;
        }
        m_file.write(crlf.data(), static_cast<std::streamsize>(crlf.size()));
        m_file.flush();
    }

    // "%u/%u/%u  %02u:%02u:%02u.%03u\n" of the local time now.
    static std::string TimeStamp() {
        timeval now{};
        gettimeofday(&now, nullptr);
        const time_t seconds = now.tv_sec;
        tm local{};
        localtime_r(&seconds, &local);
        return TimeStamp(local, static_cast<unsigned>(now.tv_usec / 1000));
    }

    // The stamp of a given local time and millisecond.
    static std::string TimeStamp(const tm& local, unsigned milliseconds) {
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%u/%u/%u  %02u:%02u:%02u.%03u\n",
                      static_cast<unsigned>(local.tm_year + 1900),
                      static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                      static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                      static_cast<unsigned>(local.tm_sec), milliseconds);
        return stamp;
    }

    // Every LF becomes CR LF, as a text-mode stream would write it.
    static std::string ToCrLf(const std::string& text) {
        std::string out;
        out.reserve(text.size() + text.size() / 8);
        for (const char c : text) {
            if (c == '\n') {
                out += '\r';
            }
            out += c;
        }
        return out;
    }

private:
    std::mutex m_lock;
    std::ofstream m_file;
    bool m_opened = false;
};
