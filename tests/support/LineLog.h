// Lines a component writes from any thread (a host's output, a service's
// warnings), kept in order for a test to count and wait for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class CLineLog {
public:
    enum class Match { Whole, Prefix, Part };

    std::function<void(const std::string&)> Sink() {
        return [this](const std::string& line) {
            {
                std::lock_guard lock(m_lock);
                m_lines.push_back(line);
            }
            m_changed.notify_all();
        };
    }

    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_lock);
        return m_lines;
    }

    // The lines that equal `text`, start with it or hold it.
    size_t Count(const std::string& text, Match match = Match::Whole) const {
        std::lock_guard lock(m_lock);
        return CountLocked(text, match);
    }

    // Waits until `count` lines match `text`; false when they do not within `limit`.
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit,
                 Match match = Match::Whole, size_t count = 1) const {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, limit, [&] { return CountLocked(text, match) >= count; });
    }

private:
    size_t CountLocked(const std::string& text, Match match) const {
        size_t n = 0;
        for (const std::string& line : m_lines) {
            n += (match == Match::Whole    ? line == text
                  : match == Match::Prefix ? line.starts_with(text)
                                           : line.find(text) != std::string::npos)
                     ? 1
                     : 0;
        }
        return n;
    }

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};
