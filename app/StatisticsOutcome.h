// What became of the statistics file at the end of a run, in one line for the
// operator: its path, or why there is none. The core writes the file in its
// destructor and says nothing when it succeeds; this watches the data folder
// around that destructor instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class COrvane;

class CStatisticsOutcome {
public:
    // Takes what it needs from `core`, which is about to be destroyed: the
    // dispatch thread must have ended (the samples are read).
    explicit CStatisticsOutcome(const COrvane& core);

    // After the core was destroyed: "statistics file written: PATH", or
    // "no statistics file: " and the reason.
    std::string Describe() const;

private:
    struct FileStamp {
        uint64_t inode = 0;
        int64_t modifiedNs = 0;
        bool operator==(const FileStamp&) const = default;
    };
    using Listing = std::map<std::string, FileStamp>;
    static Listing ListStatisticsFiles(const std::string& folder);

    std::string m_dataDir;
    int32_t m_logInterval = 0;
    std::size_t m_samples = 0;
    Listing m_before;
};
