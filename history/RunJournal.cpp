#include "history/RunJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string_view>
#include <utility>

#include "core/StatisticsFile.h"
#include "resources/OrvaneTypes.h"

namespace {

constexpr std::string_view HEADER = "orvane-journal 1";
constexpr size_t READ_CHUNK = 1 << 16;

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// The words of a line, split at single blanks; the last word of a card or
// end line is the rest of the line (an address or a path holds no blank
// anyway, but nothing is lost if one did).
class CWords {
public:
    explicit CWords(std::string_view line) : m_rest(line) {}
    std::string_view Next() {
        const size_t blank = m_rest.find(' ');
        const std::string_view word = m_rest.substr(0, blank);
        m_rest = blank == std::string_view::npos ? std::string_view() : m_rest.substr(blank + 1);
        return word;
    }
    std::string_view Rest() const { return m_rest; }

private:
    std::string_view m_rest;
};

template <typename T>
bool Number(std::string_view word, T& value) {
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return !word.empty() && error == std::errc() && end == word.data() + word.size();
}

// "TIME FLAGS" of a sample line, one flag per card slot.
bool ParseSample(CWords& words, StatSample& sample) {
    const std::string_view time = words.Next();
    const std::string_view flags = words.Next();
    if (!Number(time, sample.time) || flags.size() != MAX_CARDS) {
        return false;
    }
    for (size_t slot = 0; slot < MAX_CARDS; ++slot) {
        sample.busy[slot] = flags[slot] == '1' ? 1 : 0;
    }
    return true;
}

// Reads the file line by line; a last line without its line end is not given.
template <typename Each>
bool ForEachLine(const std::string& path, Each&& each) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::string buffer;
    std::string chunk(READ_CHUNK, '\0');
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        buffer.append(chunk.data(), static_cast<size_t>(got));
        size_t start = 0;
        for (size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1) {
            if (!each(std::string_view(buffer).substr(start, end - start))) {
                ::close(fd);
                return true;
            }
        }
        buffer.erase(0, start);
    }
    ::close(fd);
    return ok;
}

}  // namespace

CRunJournal::CRunJournal(std::string path, FailureReport report)
    : m_path(std::move(path)), m_report(std::move(report)) {}

CRunJournal::~CRunJournal() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool CRunJournal::Open() {
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        m_failed = true;
        return false;
    }
    Append(std::string(HEADER) + "\n");
    Flush();
    return !m_failed;
}

void CRunJournal::Append(const std::string& line) {
    if (m_fd >= 0 && !m_failed) {
        m_pending += line;
    }
}

void CRunJournal::Fail() {
    if (!std::exchange(m_failed, true) && m_report) {
        m_report("Can't write file " + m_path + ".");
    }
}

void CRunJournal::OnRunStarted(const StationInfo& info) {
    Append("run " + std::to_string(info.startTime) + " " + std::to_string(info.alsPeriod) + " " +
           std::to_string(info.logInterval) + "\n");
    for (const CardState& card : info.cards) {
        Append("card " + std::to_string(card.number) + " " + std::to_string(card.mode) + " " +
               std::to_string(card.device) + " " + std::to_string(card.serialNumber) + " " +
               card.address + "\n");
    }
}

void CRunJournal::OnEvent(const StationEvent& event) {
    switch (event.kind) {
        case StationEventKind::Sample: {
            std::string flags(MAX_CARDS, '0');
            for (size_t slot = 0; slot < flags.size(); ++slot) {
                flags[slot] = event.sample.busy[slot] != 0 ? '1' : '0';
            }
            Append("sample " + std::to_string(event.sample.time) + " " + flags + "\n");
            ++m_writtenSamples;
            break;
        }
        case StationEventKind::BusySeconds:
            Append("busy " + std::to_string(event.wallTime) + " " + std::to_string(event.card) +
                   " " + std::to_string(event.value) + "\n");
            break;
        case StationEventKind::StatisticsWritten:
            // The run is over: the journal says so before it goes, so that a
            // crash between the two never recovers the run a second time.
            Append("end " + std::to_string(event.wallTime) + " " + event.text + "\n");
            Flush();
            if (!m_failed && ::unlink(m_path.c_str()) == 0) {
                m_ended = true;
            }
            break;
        default:
            break;
    }
}

void CRunJournal::Flush() {
    if (m_fd < 0 || m_failed || m_ended || m_pending.empty()) {
        return;
    }
    if (!WriteAll(m_fd, m_pending) || ::fdatasync(m_fd) != 0) {
        Fail();
        return;
    }
    m_pending.clear();
    m_durableSamples.store(m_writtenSamples);
}

bool CRunJournal::ReadSamples(uint64_t count, const std::function<void(const StatSample&)>& each) {
    uint64_t given = 0;
    const bool read = ForEachLine(m_path, [&](std::string_view line) {
        if (given >= count) {
            return false;
        }
        CWords words(line);
        if (words.Next() != "sample") {
            return true;
        }
        StatSample sample;
        if (!ParseSample(words, sample)) {
            return true;
        }
        each(sample);
        ++given;
        return true;
    });
    return read && given == count;
}

JournalContents ReadJournal(const std::string& path,
                            const std::function<void(const StatSample&)>& each) {
    JournalContents contents;
    bool first = true;
    bool sawRun = false;
    ForEachLine(path, [&](std::string_view line) {
        if (first) {
            first = false;
            return line == HEADER;
        }
        CWords words(line);
        const std::string_view kind = words.Next();
        if (kind == "run") {
            int32_t als = 0;
            int32_t log = 0;
            sawRun = Number(words.Next(), contents.startTime) && Number(words.Next(), als) &&
                     Number(words.Next(), log);
            contents.lastTime = contents.startTime;
        } else if (kind == "card") {
            CardState card;
            if (Number(words.Next(), card.number) && Number(words.Next(), card.mode) &&
                Number(words.Next(), card.device) && Number(words.Next(), card.serialNumber) &&
                contents.cards.size() < MAX_CARDS) {
                card.address = std::string(words.Rest());
                contents.cards.push_back(card);
            }
        } else if (kind == "sample") {
            StatSample sample;
            if (!ParseSample(words, sample)) {
                return true;  // damaged: not a sample
            }
            ++contents.samples;
            contents.lastTime = std::max(contents.lastTime, sample.time);
            if (each) {
                each(sample);
            }
        } else if (kind == "busy") {
            int64_t time = 0;
            int32_t card = 0;
            int64_t seconds = 0;
            if (Number(words.Next(), time) && Number(words.Next(), card) &&
                Number(words.Next(), seconds) && card >= 1 &&
                static_cast<size_t>(card) <= contents.cards.size()) {
                contents.cards[static_cast<size_t>(card - 1)].busySeconds = seconds;
                contents.lastTime = std::max(contents.lastTime, time);
            }
        } else if (kind == "end") {
            contents.ended = true;
        }
        return true;
    });
    contents.valid = !first && sawRun;
    return contents;
}

RecoveryOutcome RecoverJournal(const std::string& dataDir) {
    RecoveryOutcome outcome;
    const std::string path = dataDir + "/" + JOURNAL_FILE_NAME;
    if (::access(path.c_str(), F_OK) != 0) {
        return outcome;
    }
    const JournalContents contents = ReadJournal(path);
    if (!contents.valid || contents.ended || contents.samples == 0) {
        // Nothing to recover: the run ended, took no sample, or the file is not
        // a journal (a crash before its first entry was on disk).
        ::unlink(path.c_str());
        outcome.result = RecoveryResult::Removed;
        return outcome;
    }

    StatisticsRun run;
    run.dataDir = dataDir;
    run.startTime = contents.startTime;
    run.stopTime = contents.lastTime;
    run.cards = contents.cards;
    run.sampleCount = contents.samples;
    run.samples = [&path](const std::function<void(const StatSample&)>& each) {
        return ReadJournal(path, each).valid;
    };
    const StatisticsOutcome written = WriteStatisticsFile(run, false);
    outcome.path = written.path;
    if (written.result == StatisticsResult::Written) {
        ::unlink(path.c_str());
        outcome.result = RecoveryResult::Recovered;
        outcome.message = "Recovered the statistics of the run started " +
                          PointInTime(contents.startTime) + ": " + written.path;
        return outcome;
    }
    outcome.result = RecoveryResult::Failed;
    outcome.message = written.message;
    if (written.result == StatisticsResult::Exists) {
        // Another run's file has that name and is never replaced; the journal
        // is kept aside, so that nothing is lost and the next start goes on.
        const std::string aside = path + "." + std::to_string(contents.startTime);
        outcome.message = "The statistics of the run started " + PointInTime(contents.startTime) +
                          " were not recovered: " + written.path +
                          " exists. The run's journal is kept as " + aside + ".";
        ::rename(path.c_str(), aside.c_str());
    }
    return outcome;
}
