// The soak check's readers: the status history logged per card, and the statistics file read back
// line by line, each departure from its layout noted.
#include "bench/SoakCheck.h"

#include <cstdlib>
#include <ctime>
#include <sstream>

namespace {

constexpr int32_t STATUS_MODE_RUNNING = 3;

}  // namespace

void CStatusHistory::Load(std::istream& lines) {
    long long ms = 0;
    int card = 0;
    int status = 0;
    long long mesId = 0;
    while (lines >> ms >> card >> status >> mesId) {
        m_cards[card].push_back({ms, status});
    }
}

int32_t CStatusHistory::At(int32_t card, int64_t ms) const {
    const auto it = m_cards.find(card);
    int32_t status = -1;
    if (it != m_cards.end()) {
        for (const Change& change : it->second) {
            if (change.ms > ms) {
                break;
            }
            status = change.status;
        }
    }
    return status;
}

bool CStatusHistory::HeldThroughout(int32_t card, int64_t from, int64_t to, int32_t& status) const {
    status = At(card, from);
    if (status < 0) {
        return false;
    }
    for (const Change& change : m_cards.at(card)) {
        if (change.ms > from && change.ms <= to) {
            return false;
        }
    }
    return true;
}

int64_t CStatusHistory::BackSince(int32_t card, int64_t since, int64_t deadline) const {
    if (At(card, deadline) < STATUS_MODE_RUNNING) {
        return -1;
    }
    int64_t back = since;
    int32_t previous = At(card, since);
    for (const Change& change : m_cards.at(card)) {
        if (change.ms <= since || change.ms > deadline) {
            continue;
        }
        if (change.status >= STATUS_MODE_RUNNING && previous < STATUS_MODE_RUNNING) {
            back = change.ms;
        }
        previous = change.status;
    }
    return back;
}

int64_t ParsePointInTime(const std::string& text) {
    std::tm tm{};
    const char* end = strptime(text.c_str(), "%Y %b %d, %H:%M:%S", &tm);
    if (end == nullptr) {
        return -1;
    }
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm));
}

StatFile ReadStatistics(std::istream& file) {
    StatFile stat;
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        } else if (!file.eof()) {
            stat.errors.push_back("a line without CR LF: " + line);
        }
        lines.push_back(line);
    }
    if (lines.size() < 8) {
        stat.errors.push_back("too few lines");
        return stat;
    }
    const std::string startPrefix = "Start time: ";
    const std::string stopPrefix = "Stop  time: ";
    if (lines[0].rfind(startPrefix, 0) != 0 || lines[1].rfind(stopPrefix, 0) != 0) {
        stat.errors.push_back("no start or stop time line");
        return stat;
    }
    stat.start = ParsePointInTime(lines[0].substr(startPrefix.size()));
    stat.stop = ParsePointInTime(lines[1].substr(stopPrefix.size()));
    size_t i = 5;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        const std::string& card = lines[i];
        StatCard parsed{std::atoi(card.substr(0, 2).c_str()), -1};
        const std::string label = card.size() > 6 ? card.substr(5, 2) : "";
        if (label == "B ") {
            parsed.mode = 0;
        } else if (label == "M ") {
            parsed.mode = 1;
        } else if (label == "mM") {
            parsed.mode = 2;
        } else if (label.size() == 2 && label[0] == 'C' && label[1] == ' ') {
            parsed.mode = 3;
        } else {
            stat.errors.push_back("card line with no mode label: " + card);
        }
        stat.cards.push_back(parsed);
    }
    i += 2;  // two empty lines
    if (i >= lines.size() || lines[i] != "date/time             channels   B M m") {
        stat.errors.push_back("no sample heading");
        return stat;
    }
    for (++i; i < lines.size(); ++i) {
        const std::string& sample = lines[i];
        const std::string totalPrefix = "total counts: ";
        if (sample.rfind(totalPrefix, 0) == 0) {
            stat.totalCounts = std::atol(sample.c_str() + totalPrefix.size());
            if (i + 1 != lines.size()) {
                stat.errors.push_back("lines after the total count");
            }
            break;
        }
        StatSampleLine parsed{};
        if (sample.size() < 33) {
            stat.errors.push_back("short sample line: " + sample);
            continue;
        }
        parsed.wallSeconds = ParsePointInTime(sample.substr(0, 21));
        parsed.channels = sample.substr(22, 10);
        std::istringstream counts(sample.substr(33));
        if (parsed.wallSeconds < 0 || !(counts >> parsed.counts[0] >> parsed.counts[1] >>
                                        parsed.counts[2] >> parsed.counts[3])) {
            stat.errors.push_back("unreadable sample line: " + sample);
            continue;
        }
        stat.samples.push_back(parsed);
    }
    if (stat.totalCounts < 0) {
        stat.errors.push_back("no total count line");
    }
    return stat;
}
