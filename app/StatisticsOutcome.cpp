#include "app/StatisticsOutcome.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "app/StatusTable.h"
#include "core/Monitor.h"

CStatisticsOutcome::CStatisticsOutcome(const COrvane& core)
    : m_dataDir(core.GetDataDir()),
      m_logInterval(core.GetLogInterval()),
      m_samples(core.GetSamples().size()),
      m_before(ListStatisticsFiles(m_dataDir)) {}

CStatisticsOutcome::Listing CStatisticsOutcome::ListStatisticsFiles(const std::string& folder) {
    Listing listing;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        struct stat info {};
        if (!name.starts_with("Stat") || !name.ends_with(".txt") ||
            ::stat(entry.path().c_str(), &info) != 0) {
            continue;
        }
        listing[entry.path().string()] = {
            static_cast<uint64_t>(info.st_ino),
            static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
    }
    return listing;
}

std::string CStatisticsOutcome::Describe() const {
    if (m_samples == 0) {
        if (m_logInterval == 0) {
            return "no statistics file: the log sampling interval is 0, so no samples were taken";
        }
        return "no statistics file: no sample was taken (the log sampling interval is " +
               FormatPeriod(m_logInterval) + " s)";
    }
    // The file is written under a temporary name and renamed into place, so a
    // file of this run is new or has a new inode; of several, the newest.
    std::string written;
    int64_t newest = 0;
    for (const auto& [path, stamp] : ListStatisticsFiles(m_dataDir)) {
        const auto before = m_before.find(path);
        if ((before == m_before.end() || !(before->second == stamp)) &&
            (written.empty() || stamp.modifiedNs > newest)) {
            written = path;
            newest = stamp.modifiedNs;
        }
    }
    if (written.empty()) {
        return "no statistics file: it could not be written to " + m_dataDir;
    }
    return "statistics file written: " + written;
}
