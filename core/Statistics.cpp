// The statistics file of a run, written once by the core's destructor on the
// user-interface thread, after the dispatch thread has ended.
//
//   Start time: 2017 Mar 05, 14:03:07
//   Stop  time: 2017 Mar 05, 14:23:10
//   Total uptime: 0, 00:20:03
//
//   #  Code Total sessiontime:
//    1   B  0, 00:02:03 100123 pc-host           one line per card
//
//
//   date/time             channels   B M m
//   2017 Mar 05, 14:03:47 10         1 0 0 0   one line per sample
//   total counts: 1                            no line end after it
//
// Lines end in CR LF. Month names are English whatever the locale, times are
// local. The file is written under a temporary name in the data folder and
// renamed into place only when every byte is on disk, so the final name never
// holds half a file; the folder is then synced so that the name lasts too. A
// failed write (a full disk, a file size limit) removes the temporary file and
// tells the user.
#include "core/Monitor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "config/Notifier.h"
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

// "%Y %b %d, %H:%M:%S": 21 characters for a four-digit year.
std::string PointInTime(int64_t seconds) {
    const tm local = LocalTime(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%d %s %02d, %02d:%02d:%02d", local.tm_year + 1900,
                  MonthName(local), local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
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

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

// Makes the folder's entries durable, the new name of a renamed file among
// them. The file itself is complete and in place by then, so a file system
// that refuses to sync a folder does not make the statistics wrong.
void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        [[maybe_unused]] const int ignored = ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

bool COrvane::WriteStatistics() {
    if (!m_statisticsOutcome) {
        m_statisticsOutcome = WriteStatisticsFile();
    }
    return *m_statisticsOutcome;
}

bool COrvane::WriteStatisticsFile() {
    if (m_samples.empty()) {
        return true;
    }
    tzset();  // local time as the system has it now, not as it was at start
    const int64_t stopTime = m_clock->WallSeconds();

    if (::mkdir(m_dataDir.c_str(), 0777) != 0 && errno != EEXIST) {
        ShowMessage("Can't create directory " + m_dataDir + ".");
        return false;
    }
    const std::string path = m_dataDir + "/Stat" + FileStamp(stopTime) + ".txt";

    std::vector<CardState> rows;
    GetCardRows(rows);

    std::string text;
    text.reserve(256 + rows.size() * 64 + m_samples.size() * 48);
    text += "Start time: " + PointInTime(m_startTime) + LINE_END;
    text += "Stop  time: " + PointInTime(stopTime) + LINE_END;
    text += "Total uptime: " + TimeSpan(stopTime - m_startTime) + LINE_END;
    text += LINE_END;
    text += "#  Code Total sessiontime:  ";
    text += LINE_END;
    for (const CardState& row : rows) {
        char number[16];
        std::snprintf(number, sizeof number, "%2d   ", row.number);
        text += number;
        text += ModeLabel(row.mode);
        text += " " + TimeSpan(row.busySeconds) + " " + std::to_string(row.serialNumber) + " " +
                row.address + LINE_END;
    }
    text += LINE_END;
    text += LINE_END;
    text += "date/time             channels   B M m";
    text += LINE_END;
    for (const StatSample& sample : m_samples) {
        int32_t counts[SAT_MODE_COUNT] = {};
        std::string channels(MAX_CARDS, ' ');
        for (size_t slot = 0; slot < rows.size(); ++slot) {
            const int32_t busy = sample.busy[slot];
            channels[slot] = static_cast<char>('0' + (busy != 0 ? 1 : 0));
            const int32_t mode = rows[slot].mode;
            if (busy != 0 && mode >= 0 && mode < SAT_MODE_COUNT) {
                ++counts[mode];
            }
        }
        char tail[64];
        std::snprintf(tail, sizeof tail, " %d %d %d %d", counts[0], counts[1], counts[2],
                      counts[3]);
        text += PointInTime(sample.time) + " " + channels + tail + LINE_END;
    }
    text += "total counts: " + std::to_string(m_samples.size());

    // A run that ends within the same second as another replaces its file.
    const std::string tempPath = path + "." + std::to_string(::getpid()) + ".tmp";
    const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        ShowMessage("Can't create file " + path + ".");
        return false;
    }
    bool written = WriteAll(fd, text);
    written = ::fsync(fd) == 0 && written;
    written = ::close(fd) == 0 && written;
    if (written && ::rename(tempPath.c_str(), path.c_str()) == 0) {
        SyncFolder(m_dataDir);
        return true;
    }
    ::unlink(tempPath.c_str());
    ShowMessage("Can't write file " + path + ".");
    return false;
}
