// The statistics file written in its layout, in large chunks to an unnamed file that is linked in
// under the first free name. StatisticsFile.h draws the layout.
#include "core/StatisticsFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "config/SafeFile.h"
#include "resources/OrvaneTypes.h"

namespace {

constexpr const char* LINE_END = "\r\n";
constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr int64_t SECONDS_PER_HOUR = 3600;
constexpr int64_t SECONDS_PER_MINUTE = 60;

constexpr const char* MONTH_NAMES[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Busy counts and card lines by SatMode.
constexpr const char* MODE_LABELS[SAT_MODE_COUNT] = {"B ", "M ", "mM", "C"};

tm LocalTime(int64_t seconds) {
    const time_t value = static_cast<time_t>(seconds);
    tm local{};
    if (localtime_r(&value, &local) == nullptr) {
        local = tm{};
    }
    return local;
}

const char* MonthName(const tm& local) {
    return local.tm_mon >= 0 && local.tm_mon < 12 ? MONTH_NAMES[local.tm_mon] : "???";
}

// "%Y_%b_%d_%H%M%S", the file name stamp.
std::string FileStamp(int64_t seconds) {
    const tm local = LocalTime(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%d_%s_%02d_%02d%02d%02d", local.tm_year + 1900,
                  MonthName(local), local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

// Whole days, then hours, minutes and seconds: 93784 is "1, 02:03:04". A
// negative span (the wall clock was set back past the start) is shown as 0.
std::string TimeSpan(int64_t seconds) {
    seconds = std::max<int64_t>(seconds, 0);
    const long long days = seconds / SECONDS_PER_DAY;
    const long long rest = seconds % SECONDS_PER_DAY;
    char text[64];
    std::snprintf(text, sizeof text, "%lld, %02lld:%02lld:%02lld", days, rest / SECONDS_PER_HOUR,
                  rest % SECONDS_PER_HOUR / SECONDS_PER_MINUTE, rest % SECONDS_PER_MINUTE);
    return text;
}

const char* ModeLabel(int32_t mode) {
    return mode >= 0 && mode < SAT_MODE_COUNT ? MODE_LABELS[mode] : "  ";
}

// Collects the file's text and writes it in large pieces, remembering a failure.
class CChunkWriter {
public:
    explicit CChunkWriter(int fd) : m_fd(fd) { m_buffer.reserve(CHUNK_BYTES + 256); }
    void Append(const std::string& text) {
        m_buffer += text;
        if (m_buffer.size() >= CHUNK_BYTES) {
            Flush();
        }
    }
    bool Flush() {
        m_ok = m_ok && WriteWholly(m_fd, m_buffer);
        m_buffer.clear();
        return m_ok;
    }

private:
    static constexpr size_t CHUNK_BYTES = 65536;
    int m_fd;
    std::string m_buffer;
    bool m_ok = true;
};

}  // namespace

std::string PointInTime(int64_t seconds) {
    // "%Y %b %d, %H:%M:%S": 21 characters for a four-digit year.
    const tm local = LocalTime(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%d %s %02d, %02d:%02d:%02d", local.tm_year + 1900,
                  MonthName(local), local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string StatisticsFileName(int64_t stopTime) {
    return "Stat" + FileStamp(stopTime) + ".txt";
}

StatisticsOutcome WriteStatisticsFile(const StatisticsRun& run) {
    StatisticsOutcome outcome;
    tzset();  // local time as the system has it now, not as it was at start
    if (::mkdir(run.dataDir.c_str(), 0777) != 0 && errno != EEXIST) {
        outcome.result = StatisticsResult::FolderFailed;
        outcome.message = "Can't create directory " + run.dataDir + ".";
        return outcome;
    }
    const std::string name = StatisticsFileName(run.stopTime);
    outcome.path = run.dataDir + "/" + name;

    // Written unnamed (or under a name no one can guess) and linked in when
    // complete: nothing half made is ever seen, and nothing planted at a
    // predictable name is written through.
    CNewFile file;
    if (!file.Create(run.dataDir, name)) {
        outcome.result = StatisticsResult::CreateFailed;
        outcome.message = "Can't create file " + outcome.path + ".";
        return outcome;
    }

    CChunkWriter out(file.Fd());
    out.Append("Start time: " + PointInTime(run.startTime) + LINE_END);
    out.Append("Stop  time: " + PointInTime(run.stopTime) + LINE_END);
    out.Append("Total uptime: " + TimeSpan(run.stopTime - run.startTime) + LINE_END);
    out.Append(LINE_END);
    out.Append(std::string("#  Code Total sessiontime:  ") + LINE_END);
    for (const CardState& row : run.cards) {
        char number[16];
        std::snprintf(number, sizeof number, "%2d   ", row.number);
        out.Append(number + std::string(ModeLabel(row.mode)) + " " + TimeSpan(row.busySeconds) +
                   " " + std::to_string(row.serialNumber) + " " + row.address + LINE_END);
    }
    out.Append(LINE_END);
    out.Append(LINE_END);
    out.Append(std::string("date/time             channels   B M m") + LINE_END);
    uint64_t streamed = 0;
    const bool complete = run.samples([&](const StatSample& sample) {
        int32_t counts[SAT_MODE_COUNT] = {};
        std::string channels(MAX_CARDS, ' ');
        for (size_t slot = 0; slot < run.cards.size() && slot < MAX_CARDS; ++slot) {
            const int32_t busy = sample.busy[slot];
            channels[slot] = static_cast<char>('0' + (busy != 0 ? 1 : 0));
            const int32_t mode = run.cards[slot].mode;
            if (busy != 0 && mode >= 0 && mode < SAT_MODE_COUNT) {
                ++counts[mode];
            }
        }
        char tail[64];
        std::snprintf(tail, sizeof tail, " %d %d %d %d", counts[0], counts[1], counts[2],
                      counts[3]);
        out.Append(PointInTime(sample.time) + " " + channels + tail + LINE_END);
        ++streamed;
    });
    out.Append("total counts: " + std::to_string(streamed));

    if (!(out.Flush() && complete && streamed == run.sampleCount)) {
        outcome.result = StatisticsResult::WriteFailed;
        outcome.message = "Can't write file " + outcome.path + ".";
        return outcome;
    }
    // A name taken by another run's file (a run that ended within the same
    // second, a recovered run) is never replaced: the file takes the next
    // free second for its name, and its own times stay as they were.
    for (int64_t later = 0; later < STATISTICS_NAME_SECONDS; ++later) {
        const std::string path = run.dataDir + "/" + StatisticsFileName(run.stopTime + later);
        const CNewFile::Commit commit = file.Link(StatisticsFileName(run.stopTime + later));
        if (commit == CNewFile::Commit::Done) {
            outcome.path = path;
            return outcome;
        }
        if (commit == CNewFile::Commit::Failed) {
            break;
        }
    }
    outcome.result = StatisticsResult::WriteFailed;
    outcome.message = "Can't write file " + outcome.path + ".";
    return outcome;
}
