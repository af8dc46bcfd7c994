// Event lines written with their priority and local time, each whole under the lock; control
// characters become '?', and every line of a longer text gets the prefix.
#include "app/console/LineOutput.h"

#include <ctime>

#include "app/view/StatusNotes.h"

std::string CLineOutput::Format(LinePriority priority, int64_t time, const std::string& text) {
    const std::string prefix =
        "<" + std::to_string(static_cast<int>(priority)) + ">" + FormatLocalTime(time) + " ";
    std::string out = prefix;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            if (i + 1 < text.size()) {
                out += '\n';
                out += prefix;
            }
        } else if (c < 0x20 || c == 0x7f) {
            out += '?';
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '\n';
    return out;
}

void CLineOutput::Write(LinePriority priority, int64_t time, const std::string& text) {
    const std::string line = Format(priority, time, text);
    std::lock_guard<std::mutex> guard(m_lock);
    std::fwrite(line.data(), 1, line.size(), m_out);
    std::fflush(m_out);
}

void CLineOutput::Write(LinePriority priority, const std::string& text) {
    Write(priority, static_cast<int64_t>(std::time(nullptr)), text);
}

MessageHandler CLineOutput::MessageLines() {
    return [this](const std::string& text) { Write(LinePriority::Error, text); };
}
