// The run journal: its lines written in batches and made durable, tried again after a failure, and
// the journals of runs that did not end made into their statistics files.
#include "history/RunJournal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <utility>

#include "config/SafeFile.h"
#include "core/StatisticsFile.h"
#include "resources/OrvaneTypes.h"

namespace {

constexpr std::string_view HEADER = "orvane-journal 1";
constexpr std::string_view NAME_START = "OrvaneSystemDx.";
constexpr std::string_view NAME_END = ".journal";
constexpr size_t READ_CHUNK = 1 << 16;
// No line the journal writes is longer; a longer one is damage, passed over.
constexpr size_t LONGEST_LINE = 4096;
constexpr int COPIES_TRIED = 100;
// What a line that cannot be read is given as: no entry starts so.
constexpr std::string_view DAMAGED_LINE = "\x01";
// The descriptor of a journal that could not be cut back after a failed write.
constexpr int CLOSED_FOR_GOOD = -2;

int64_t SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
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
    bool AtEnd() const { return m_rest.empty(); }

private:
    std::string_view m_rest;
};

template <typename T>
bool Number(std::string_view word, T& value) {
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return !word.empty() && error == std::errc() && end == word.data() + word.size();
}

// An optional last word: seconds into the run. -1 when absent.
bool Elapsed(CWords& words, int64_t& elapsed) {
    elapsed = -1;
    if (words.AtEnd()) {
        return true;
    }
    return Number(words.Next(), elapsed) && elapsed >= 0 && words.AtEnd();
}

// Whether a torn last line may be the start of an entry the journal wrote:
// text, no control character (an address may hold any other byte).
bool CouldBeTorn(std::string_view tail) {
    return std::none_of(tail.begin(), tail.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// "TIME FLAGS [ELAPSED]" of a sample line, one flag per card slot.
bool ParseSample(CWords& words, StatSample& sample, int64_t& elapsed) {
    const std::string_view time = words.Next();
    const std::string_view flags = words.Next();
    if (!Number(time, sample.time) || sample.time <= 0 || flags.size() != MAX_CARDS) {
        return false;
    }
    for (size_t slot = 0; slot < MAX_CARDS; ++slot) {
        if (flags[slot] != '0' && flags[slot] != '1') {
            return false;
        }
        sample.busy[slot] = flags[slot] == '1' ? 1 : 0;
    }
    return Elapsed(words, elapsed);
}

// Reads a regular file line by line, without a line's CR ends; a line longer
// than any the journal writes is given as damaged (a line that reads as
// nothing). A last line without its line end (torn by a crash) is not given:
// it goes to `tail`, when given (an over-long one as damaged). False when it
// cannot be opened or read.
template <typename Each>
bool ForEachLine(const std::string& path, Each&& each, uint64_t* bytes = nullptr,
                 std::string* tail = nullptr) {
    const int fd = OpenRegularFile(path, O_RDONLY);
    if (fd < 0) {
        return false;
    }
    std::string buffer;
    std::string chunk(READ_CHUNK, '\0');
    bool skipping = false;  // within an over-long line
    bool ok = true;
    auto give = [&each](std::string_view line) {
        while (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        return each(line);
    };
    for (;;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ok = got == 0;
            if (ok && tail != nullptr) {
                *tail = skipping ? std::string(DAMAGED_LINE) : buffer;
            }
            break;
        }
        if (bytes != nullptr) {
            *bytes += static_cast<uint64_t>(got);
        }
        buffer.append(chunk.data(), static_cast<size_t>(got));
        size_t start = 0;
        for (size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1) {
            const bool tooLong = skipping || end - start > LONGEST_LINE;
            skipping = false;
            if (!give(tooLong ? DAMAGED_LINE
                              : std::string_view(buffer).substr(start, end - start))) {
                ::close(fd);
                return true;
            }
        }
        buffer.erase(0, start);
        if (buffer.size() > LONGEST_LINE) {
            buffer.clear();
            skipping = true;
        }
    }
    ::close(fd);
    return ok;
}

CardState UnknownCard(int32_t number) {
    CardState card;
    card.number = number;
    card.mode = -1;
    return card;
}

// The card in slot `number - 1`, made when the journal lost its line.
CardState& CardAt(std::vector<CardState>& cards, int32_t number) {
    while (cards.size() < static_cast<size_t>(number)) {
        cards.push_back(UnknownCard(static_cast<int32_t>(cards.size()) + 1));
    }
    return cards[static_cast<size_t>(number - 1)];
}

std::string ErrorText() {
    return std::strerror(errno);
}

// Renames `path` aside under a name that says why it was left; never over a file.
std::string SetAside(const std::string& path) {
    std::string aside = path + SET_ASIDE_SUFFIX;
    for (int copy = 2; copy <= COPIES_TRIED; ++copy) {
        if (RenameNoReplace(path, aside) == 0) {
            return aside;
        }
        if (errno != EEXIST) {
            return {};
        }
        aside = path + "." + std::to_string(copy) + SET_ASIDE_SUFFIX;
    }
    return {};
}

RecoveryOutcome SetAsideOutcome(const std::string& path, const std::string& why) {
    RecoveryOutcome outcome;
    outcome.journal = path;
    const std::string aside = SetAside(path);
    outcome.result = aside.empty() ? RecoveryResult::Failed : RecoveryResult::SetAside;
    outcome.message =
        "The journal " + path + " " + why +
        (aside.empty() ? "; it could not be set aside (" + ErrorText() + ") and stays."
                       : "; it is set aside as " + aside + ".");
    return outcome;
}

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Whether the statistics file this journal would give is in the folder
// already: at the name its stop time gives, or one of the later seconds its
// writer moves on to, a file with the run's start and stop times and its
// count of samples.
bool HasItsFile(const std::string& dataDir, int64_t stopTime, const JournalContents& contents) {
    const std::string head = "Start time: " + PointInTime(contents.startTime) +
                             "\r\nStop  time: " + PointInTime(stopTime);
    const std::string tail = "\r\ntotal counts: " + std::to_string(contents.samples);
    for (int64_t later = 0; later < STATISTICS_NAME_SECONDS; ++later) {
        const int fd =
            OpenRegularFile(dataDir + "/" + StatisticsFileName(stopTime + later), O_RDONLY);
        if (fd < 0 && errno == ENOENT) {
            return false;  // the first free name: the writer would have stopped there
        }
        if (fd < 0) {
            continue;  // taken by what is no file of a run: the writer moved on
        }
        std::string start(head.size(), '\0');
        std::string end(tail.size(), '\0');
        struct stat info {};
        const bool same =
            ::fstat(fd, &info) == 0 &&
            info.st_size >= static_cast<off_t>(head.size() + tail.size()) &&
            ::pread(fd, start.data(), start.size(), 0) == static_cast<ssize_t>(start.size()) &&
            ::pread(fd, end.data(), end.size(), info.st_size - static_cast<off_t>(end.size())) ==
                static_cast<ssize_t>(end.size()) &&
            start == head && end == tail;
        ::close(fd);
        if (same) {
            return true;
        }
    }
    return false;
}

RecoveryOutcome RecoverJournal(const std::string& dataDir, const std::string& path) {
    RecoveryOutcome outcome;
    outcome.journal = path;
    if (!IsRegularFile(path)) {
        return SetAsideOutcome(path, "is not a regular file");
    }
    const JournalContents contents = ReadJournal(path);
    if (!contents.readable) {
        outcome.result = RecoveryResult::Failed;
        outcome.message = "The journal " + path + " cannot be read (" + ErrorText() +
                          "); it stays for the next start.";
        return outcome;
    }
    const bool fileWritten = contents.ended && IsRegularFile(contents.endPath);
    const bool empty = contents.samples == 0 && contents.damaged == 0;
    if (fileWritten || empty) {
        // Its run has its file, or it never took a sample: nothing is lost.
        ::unlink(path.c_str());
        outcome.result = RecoveryResult::Removed;
        return outcome;
    }
    if (contents.samples == 0) {
        return SetAsideOutcome(path, "holds no statistics that can be read");
    }

    StatisticsRun run;
    run.dataDir = dataDir;
    run.startTime = contents.startTime;
    // By the steady clock where the journal tells it, so that a wall clock set
    // forward or back during the run does not stretch or shrink it.
    run.stopTime = contents.hasRun && contents.lastElapsed >= 0
                       ? contents.startTime + contents.lastElapsed
                       : contents.lastTime;
    if (HasItsFile(dataDir, run.stopTime, contents)) {
        // A recovery ended between its file and the journal's removal (a
        // kill, a power cut before the folder was on disk): done already.
        ::unlink(path.c_str());
        SyncFolder(dataDir);
        outcome.result = RecoveryResult::Removed;
        return outcome;
    }
    run.cards = contents.cards;
    run.sampleCount = contents.samples;
    run.samples = [&path](const std::function<void(const StatSample&)>& each) {
        return ReadJournal(path, each).readable;
    };
    const StatisticsOutcome written = WriteStatisticsFile(run);
    outcome.path = written.path;
    if (written.result == StatisticsResult::Written) {
        ::unlink(path.c_str());
        SyncFolder(dataDir);
        outcome.result = RecoveryResult::Recovered;
        outcome.message = "Recovered the statistics of the run started " +
                          PointInTime(contents.startTime) + ": " + written.path;
        if (contents.damaged > 0) {
            outcome.message += " (" + std::to_string(contents.damaged) +
                               (contents.damaged == 1 ? " damaged line" : " damaged lines") +
                               " of its journal passed over)";
        }
        return outcome;
    }
    outcome.result = RecoveryResult::Failed;
    outcome.message = "The statistics of the run started " + PointInTime(contents.startTime) +
                      " could not be recovered: " + written.message + " Its journal " + path +
                      " stays for the next start.";
    return outcome;
}

}  // namespace

std::string JournalFileName(int64_t startTime, int copy) {
    return std::string(NAME_START) + std::to_string(startTime) +
           (copy > 1 ? "-" + std::to_string(copy) : std::string()) + std::string(NAME_END);
}

bool IsJournalName(const std::string& name) {
    const std::string_view text(name);
    if (text == JOURNAL_FILE_NAME) {
        return true;
    }
    const std::string_view legacyAside = std::string_view(JOURNAL_FILE_NAME);
    if (text.size() > legacyAside.size() + 1 && text.substr(0, legacyAside.size()) == legacyAside &&
        text[legacyAside.size()] == '.' && AllDigits(text.substr(legacyAside.size() + 1))) {
        return true;
    }
    if (text.size() <= NAME_START.size() + NAME_END.size() ||
        text.substr(0, NAME_START.size()) != NAME_START ||
        text.substr(text.size() - NAME_END.size()) != NAME_END) {
        return false;
    }
    std::string_view stamp =
        text.substr(NAME_START.size(), text.size() - NAME_START.size() - NAME_END.size());
    const size_t dash = stamp.find('-');
    if (dash != std::string_view::npos) {
        if (!AllDigits(stamp.substr(dash + 1))) {
            return false;
        }
        stamp = stamp.substr(0, dash);
    }
    return AllDigits(stamp);
}

CRunJournal::CRunJournal(std::string dataDir, int64_t startTime, FailureReport report,
                         CRecordHealth* health)
    : CRunJournal(std::move(dataDir), startTime, std::move(report), health, Options()) {}

CRunJournal::CRunJournal(std::string dataDir, int64_t startTime, FailureReport report,
                         CRecordHealth* health, Options options)
    : m_dataDir(std::move(dataDir)),
      m_startTime(startTime),
      m_report(std::move(report)),
      m_health(health),
      m_options(options) {}

CRunJournal::~CRunJournal() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::string CRunJournal::Path() const {
    std::lock_guard<std::mutex> guard(m_pathLock);
    return m_path.empty() ? m_dataDir + "/" + JournalFileName(m_startTime, 1) : m_path;
}

bool CRunJournal::TryOpen() {
    // One level, as the statistics file does.
    ::mkdir(m_dataDir.c_str(), 0777);
    for (int copy = 1; copy <= COPIES_TRIED; ++copy) {
        // Never over another run's journal, which may wait for its recovery.
        const std::string path = m_dataDir + "/" + JournalFileName(m_startTime, copy);
        const int fd = OpenRegularFile(path, O_WRONLY | O_CREAT | O_EXCL | O_APPEND);
        if (fd >= 0) {
            m_fd = fd;
            m_goodSize = 0;
            std::lock_guard<std::mutex> guard(m_pathLock);
            m_path = path;
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return false;
}

bool CRunJournal::Open() {
    m_pending.insert(0, std::string(HEADER) + "\n");
    Flush();
    return !m_failing;
}

void CRunJournal::Append(const std::string& line) {
    if (!m_ended) {
        m_pending += line;
    }
}

void CRunJournal::Fail(const std::string& why) {
    m_failedAtMs = SteadyMilliseconds();
    if (std::exchange(m_failing, true)) {
        return;
    }
    if (m_health != nullptr) {
        m_health->Failing(StationRecord::Journal, std::time(nullptr), why);
    }
    if (m_report) {
        m_report(why);
    }
}

int64_t CRunJournal::Elapsed(int64_t steadyMs) const {
    return std::max<int64_t>(0, steadyMs - m_startSteadyMs) / 1000;
}

void CRunJournal::OnRunStarted(const StationInfo& info) {
    m_startSteadyMs = info.startSteadyMs;
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
            Append("sample " + std::to_string(event.sample.time) + " " + flags + " " +
                   std::to_string(Elapsed(event.steadyMs)) + "\n");
            ++m_writtenSamples;
            break;
        }
        case StationEventKind::BusySeconds:
            Append("busy " + std::to_string(event.wallTime) + " " + std::to_string(event.card) +
                   " " + std::to_string(event.value) + " " +
                   std::to_string(Elapsed(event.steadyMs)) + "\n");
            break;
        case StationEventKind::StatisticsWritten: {
            // The run is over and its file complete (from memory what the
            // journal could not take): the journal says so before it goes, so
            // that a crash between the two never recovers the run a second time.
            Append("end " + std::to_string(event.wallTime) + " " + event.text + "\n");
            if (m_fd >= 0) {
                WritePending();
            }
            bool made = false;
            {
                std::lock_guard<std::mutex> guard(m_pathLock);
                made = !m_path.empty();
            }
            if (made) {
                ::unlink(Path().c_str());
            }
            if (m_fd >= 0) {
                ::close(m_fd);
            }
            m_fd = -1;
            m_ended = true;
            m_pending.clear();
            if (m_failing && m_health != nullptr) {
                m_health->Resumed(StationRecord::Journal);  // nothing is missing any more
            }
            break;
        }
        default:
            break;
    }
}

bool CRunJournal::WritePending() {
    if (m_pending.empty()) {
        return true;
    }
    size_t done = 0;
    while (done < m_pending.size()) {
        const ssize_t written = ::write(m_fd, m_pending.data() + done, m_pending.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += static_cast<size_t>(written);
    }
    if (done == m_pending.size() && ::fdatasync(m_fd) == 0) {
        m_goodSize += m_pending.size();
        m_pending.clear();
        m_durableSamples.store(m_writtenSamples);
        return true;
    }
    // Back to the last whole line on disk, so that the next attempt writes
    // every line again in full. Where the file cannot be cut back, a torn
    // line could be read as a sample: the file is left as it is, and the
    // core keeps in memory what it cannot hold.
    if (::ftruncate(m_fd, static_cast<off_t>(m_goodSize)) != 0) {
        ::close(m_fd);
        m_fd = CLOSED_FOR_GOOD;
    }
    return false;
}

void CRunJournal::Flush() {
    if (m_ended || m_fd == CLOSED_FOR_GOOD) {
        return;
    }
    if (m_failing && SteadyMilliseconds() - m_failedAtMs < m_options.retryPaceMs) {
        return;
    }
    if (m_fd < 0 && !TryOpen()) {
        Fail("Can't create file " + Path() + ".");
        return;
    }
    if (!WritePending()) {
        Fail("Can't write file " + Path() + ".");
        return;
    }
    if (std::exchange(m_failing, false) && m_health != nullptr) {
        m_health->Resumed(StationRecord::Journal);
    }
}

bool CRunJournal::ReadSamples(uint64_t count, const std::function<void(const StatSample&)>& each) {
    uint64_t given = 0;
    const bool read = ForEachLine(Path(), [&](std::string_view line) {
        if (given >= count) {
            return false;
        }
        CWords words(line);
        if (words.Next() != "sample") {
            return true;
        }
        StatSample sample;
        int64_t elapsed = 0;
        if (!ParseSample(words, sample, elapsed)) {
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
    int64_t earliest = 0;
    auto sawTime = [&contents, &earliest](int64_t time, int64_t elapsed) {
        earliest = earliest == 0 ? time : std::min(earliest, time);
        contents.lastTime = std::max(contents.lastTime, time);
        contents.lastElapsed = std::max(contents.lastElapsed, elapsed);
    };
    size_t busiestSlot = 0;  // one past the highest slot a sample found busy
    std::string tail;
    contents.readable = ForEachLine(
        path,
        [&](std::string_view line) {
            if (std::exchange(first, false) && line == HEADER) {
                contents.header = true;
                return true;
            }
            CWords words(line);
            const std::string_view kind = words.Next();
            bool read = false;
            if (kind == "run") {
                int64_t start = 0;
                int32_t als = 0;
                int32_t log = 0;
                read = !contents.hasRun && Number(words.Next(), start) && start > 0 &&
                       Number(words.Next(), als) && Number(words.Next(), log) && words.AtEnd();
                if (read) {
                    contents.hasRun = true;
                    contents.startTime = start;
                }
            } else if (kind == "card") {
                CardState card;
                read = Number(words.Next(), card.number) && card.number >= 1 &&
                       card.number <= static_cast<int32_t>(MAX_CARDS) &&
                       Number(words.Next(), card.mode) && Number(words.Next(), card.device) &&
                       Number(words.Next(), card.serialNumber);
                if (read) {
                    card.address = std::string(words.Rest());
                    CardState& slot = CardAt(contents.cards, card.number);
                    card.busySeconds = slot.busySeconds;
                    slot = card;
                }
            } else if (kind == "sample") {
                StatSample sample;
                int64_t elapsed = -1;
                read = ParseSample(words, sample, elapsed);
                if (read) {
                    ++contents.samples;
                    sawTime(sample.time, elapsed);
                    for (size_t slot = 0; slot < MAX_CARDS; ++slot) {
                        busiestSlot =
                            sample.busy[slot] != 0 ? std::max(busiestSlot, slot + 1) : busiestSlot;
                    }
                    if (each) {
                        each(sample);
                    }
                }
            } else if (kind == "busy") {
                int64_t time = 0;
                int32_t card = 0;
                int64_t seconds = 0;
                int64_t elapsed = -1;
                read = Number(words.Next(), time) && time > 0 && Number(words.Next(), card) &&
                       card >= 1 && card <= static_cast<int32_t>(MAX_CARDS) &&
                       Number(words.Next(), seconds) && seconds >= 0 && Elapsed(words, elapsed);
                if (read) {
                    CardAt(contents.cards, card).busySeconds = seconds;
                    sawTime(time, elapsed);
                }
            } else if (kind == "end") {
                int64_t time = 0;
                read = Number(words.Next(), time);
                if (read) {
                    contents.ended = true;
                    contents.endPath = std::string(words.Rest());
                }
            }
            contents.damaged += read ? 0 : 1;
            return true;
        },
        &contents.bytes, &tail);
    if (!tail.empty()) {
        // Torn by a crash: a sample whose flags are whole still counts (its
        // seconds into the run may be cut, so they are not taken); any other
        // entry is passed over as the crash left it, and what is no entry's
        // start is damage.
        CWords words(tail);
        StatSample sample;
        int64_t elapsed = -1;
        if (words.Next() == "sample" && ParseSample(words, sample, elapsed)) {
            ++contents.samples;
            sawTime(sample.time, -1);
            if (each) {
                each(sample);
            }
        } else if (!CouldBeTorn(tail)) {
            ++contents.damaged;
        }
    }
    if (!contents.hasRun) {
        contents.startTime = earliest;  // the run line is lost: the first entry is the nearest
    }
    // A busy flag tells of a card whose line was lost.
    if (busiestSlot > contents.cards.size()) {
        CardAt(contents.cards, static_cast<int32_t>(busiestSlot));
    }
    return contents;
}

std::vector<RecoveryOutcome> RecoverJournals(const std::string& dataDir) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(dataDir.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (IsJournalName(entry->d_name)) {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
    }
    // The older station's names first, then by start time.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const bool legacyA = a.rfind(JOURNAL_FILE_NAME, 0) == 0;
        const bool legacyB = b.rfind(JOURNAL_FILE_NAME, 0) == 0;
        if (legacyA != legacyB) {
            return legacyA;
        }
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    std::vector<RecoveryOutcome> outcomes;
    for (const std::string& name : names) {
        outcomes.push_back(RecoverJournal(dataDir, dataDir + "/" + name));
    }
    return outcomes;
}
