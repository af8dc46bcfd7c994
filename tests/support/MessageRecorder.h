// Records every message the station shows, in order, while it is in scope.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "config/Notifier.h"

class CMessageRecorder {
public:
    CMessageRecorder() {
        m_previous = InstallMessageHandler([this](const std::string& text) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_messages.push_back(text);
        });
    }
    ~CMessageRecorder() { InstallMessageHandler(m_previous); }

    CMessageRecorder(const CMessageRecorder&) = delete;
    CMessageRecorder& operator=(const CMessageRecorder&) = delete;

    std::vector<std::string> Messages() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_messages;
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_messages;
    MessageHandler m_previous;
};
