// The Prometheus text of GET /metrics: the per-card gauges and counters, the station's figures, and
// the process's own read from /proc.
#include "remote/Metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "remote/CardJson.h"
#include "remote/Json.h"
#include "resources/OrvaneTypes.h"

namespace {

constexpr const char* GAUGE = "gauge";
constexpr const char* COUNTER = "counter";

std::string LabelValue(std::string_view text) {
    std::string out;
    for (const char c : Utf8Text(text)) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Number(double value) {
    char text[40];
    if (value == static_cast<double>(static_cast<int64_t>(value))) {
        std::snprintf(text, sizeof(text), "%lld", static_cast<long long>(value));
    } else {
        std::snprintf(text, sizeof(text), "%.3f", value);
    }
    return text;
}

// When `record` began to fail; 0 while it is kept.
int64_t RecordFailingSince(const StationSnapshot& snapshot, StationRecord record) {
    for (const RecordTrouble& trouble : snapshot.recordTroubles) {
        if (trouble.record == record) {
            return std::max<int64_t>(trouble.since, 1);
        }
    }
    return 0;
}

// Writes one metric family: its HELP and TYPE lines once, then its samples.
class CFamily {
public:
    CFamily(std::string& out, const char* name, const char* type, const char* help)
        : m_out(out), m_name(name) {
        m_out += "# HELP ";
        m_out += name;
        m_out += ' ';
        m_out += help;
        m_out += "\n# TYPE ";
        m_out += name;
        m_out += ' ';
        m_out += type;
        m_out += '\n';
    }
    // `labels` is the text between the braces, or empty.
    void Sample(const std::string& labels, double value) {
        m_out += m_name;
        if (!labels.empty()) {
            m_out += '{';
            m_out += labels;
            m_out += '}';
        }
        m_out += ' ';
        m_out += Number(value);
        m_out += '\n';
    }

private:
    std::string& m_out;
    const char* m_name;
};

std::string CardLabels(const CardState& row) {
    return "card=\"" + std::to_string(row.number) + "\",serial=\"" +
           std::to_string(row.serialNumber) + "\",address=\"" + LabelValue(row.address) +
           "\",device=\"" + LabelValue(DeviceText(row.device)) + "\",mode=\"" +
           LabelValue(ModeText(row.mode)) + "\"";
}

// A card is up while it is set to its mode: running or in a session.
bool CardUp(const CardState& row) {
    return row.status == STATUS_MODE_RUNNING || row.status == STATUS_BUSY_SESSION;
}

void AppendCards(std::string& out, const StationSnapshot& snapshot, int64_t nowMs) {
    std::vector<std::string> labels;
    for (const CardState& row : snapshot.rows) {
        labels.push_back(CardLabels(row));
    }
    auto counters = [&snapshot](size_t i) {
        return i < snapshot.counters.size() ? snapshot.counters[i] : CardCounters{};
    };
    const size_t n = snapshot.rows.size();
    {
        CFamily family(out, "orvane_card_up", GAUGE,
                       "1 while the card runs its mode (Mode Running or Busy Session), else 0.");
        for (size_t i = 0; i < n; ++i) {
            family.Sample(labels[i], CardUp(snapshot.rows[i]) ? 1 : 0);
        }
    }
    {
        CFamily family(out, "orvane_card_status", GAUGE,
                       "1 for the card's current status, 0 for the others.");
        for (size_t i = 0; i < n; ++i) {
            for (int32_t status = STATUS_NOT_CONNECTED; status <= STATUS_BUSY_SESSION; ++status) {
                family.Sample(labels[i] + ",status=\"" + LabelValue(StatusText(status)) + "\"",
                              snapshot.rows[i].status == status ? 1 : 0);
            }
        }
    }
    {
        CFamily family(out, "orvane_card_busy_seconds_total", COUNTER,
                       "Seconds of the card's completed sessions.");
        for (size_t i = 0; i < n; ++i) {
            family.Sample(labels[i], static_cast<double>(snapshot.rows[i].busySeconds));
        }
    }
    {
        CFamily family(out, "orvane_card_sessions_total", COUNTER,
                       "Session starts offered to the card, by outcome.");
        for (size_t i = 0; i < n; ++i) {
            family.Sample(labels[i] + ",outcome=\"followed\"",
                          static_cast<double>(counters(i).sessionsFollowed));
            family.Sample(labels[i] + ",outcome=\"refused\"",
                          static_cast<double>(counters(i).sessionsRefused));
        }
    }
    {
        CFamily family(out, "orvane_card_link_drops_total", COUNTER,
                       "Times the link to the card's host went down.");
        for (size_t i = 0; i < n; ++i) {
            family.Sample(labels[i], static_cast<double>(counters(i).linkDowns));
        }
    }
    {
        CFamily family(out, "orvane_card_messages_received_total", COUNTER,
                       "Messages received from the card.");
        for (size_t i = 0; i < n; ++i) {
            family.Sample(labels[i], static_cast<double>(counters(i).messagesReceived));
        }
    }
    {
        CFamily family(out, "orvane_card_last_message_age_seconds", GAUGE,
                       "Seconds since the last message from the card's host (none before the "
                       "first).");
        for (size_t i = 0; i < n; ++i) {
            if (counters(i).lastMessageWallMs > 0) {
                family.Sample(labels[i], static_cast<double>(std::max<int64_t>(
                                             0, nowMs - counters(i).lastMessageWallMs)) /
                                             1000.0);
            }
        }
    }
    CFamily(out, "orvane_event_queue_used_bytes", GAUGE, "Bytes in use in the event queue.")
        .Sample("", snapshot.queueBytes);
    CFamily(out, "orvane_event_queue_capacity_bytes", GAUGE, "Size of the event queue in bytes.")
        .Sample("", snapshot.queueCapacity);
    CFamily(out, "orvane_samples_taken_total", COUNTER, "Busy samples taken in this run.")
        .Sample("", static_cast<double>(snapshot.samplesTaken));
    CFamily(out, "orvane_station_start_time_seconds", GAUGE,
            "When the run started, in seconds since 1970.")
        .Sample("", static_cast<double>(snapshot.startTime));
    {
        CFamily ok(out, "orvane_record_ok", GAUGE,
                   "1 while the run journal or the session history is being kept, 0 while it "
                   "fails.");
        for (const StationRecord record : {StationRecord::Journal, StationRecord::History}) {
            ok.Sample(std::string("record=\"") + RecordName(record) + "\"",
                      RecordFailingSince(snapshot, record) == 0 ? 1 : 0);
        }
    }
    {
        CFamily since(out, "orvane_record_failing_since_seconds", GAUGE,
                      "When the record began to fail, in seconds since 1970 (none while it is "
                      "kept).");
        for (const StationRecord record : {StationRecord::Journal, StationRecord::History}) {
            if (const int64_t time = RecordFailingSince(snapshot, record); time != 0) {
                since.Sample(std::string("record=\"") + RecordName(record) + "\"",
                             static_cast<double>(time));
            }
        }
    }
}

// /proc/self/stat: the fields after the command name, which may hold blanks.
std::vector<std::string> StatFields() {
    std::ifstream file("/proc/self/stat");
    std::string line;
    std::getline(file, line);
    const size_t close = line.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) {
        return fields;
    }
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    while (rest >> field) {
        fields.push_back(field);
    }
    return fields;
}

double BootTime() {
    std::ifstream file("/proc/stat");
    std::string key;
    double value = 0;
    while (file >> key) {
        if (key == "btime") {
            file >> value;
            return value;
        }
        file.ignore(1 << 20, '\n');
    }
    return 0;
}

}  // namespace

ProcessFigures ReadProcessFigures() {
    ProcessFigures figures;
    // After the command name: state is field 3, utime 14, stime 15, starttime 22, rss 24.
    const std::vector<std::string> fields = StatFields();
    if (fields.size() < 22) {
        return figures;
    }
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
    auto field = [&fields](size_t number) { return std::stod(fields[number - 3]); };
    figures.cpuSeconds = (field(14) + field(15)) / ticks;
    figures.startTime = BootTime() + field(22) / ticks;
    figures.residentBytes = field(24) * page;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        double count = 0;
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        ::closedir(dir);
        figures.openDescriptors = count - 1;  // not the directory's own
    }
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        figures.maxDescriptors = static_cast<double>(limit.rlim_cur);
    }
    figures.known = true;
    return figures;
}

std::string MetricsText(const StationSnapshot* snapshot, const MetricsContext& context,
                        const ProcessFigures& process) {
    std::string out;
    out.reserve(16384);
    CFamily(out, "orvane_build_info", GAUGE, "The station's version, as a label; always 1.")
        .Sample("version=\"" + LabelValue(context.version) + "\"", 1);
    CFamily(out, "orvane_dispatch_passes_total", COUNTER, "Passes of the dispatch thread.")
        .Sample("", static_cast<double>(context.passes));
    if (context.lastPassWallMs > 0) {
        CFamily(out, "orvane_dispatch_last_pass_timestamp_seconds", GAUGE,
                "When the dispatch thread last ended a pass, in seconds since 1970.")
            .Sample("", static_cast<double>(context.lastPassWallMs) / 1000.0);
    }
    if (snapshot != nullptr) {
        AppendCards(out, *snapshot, context.nowMs);
    }
    if (process.known) {
        CFamily(out, "process_resident_memory_bytes", GAUGE, "Resident memory size in bytes.")
            .Sample("", process.residentBytes);
        CFamily(out, "process_cpu_seconds_total", COUNTER,
                "Total user and system CPU time spent in seconds.")
            .Sample("", process.cpuSeconds);
        CFamily(out, "process_open_fds", GAUGE, "Number of open file descriptors.")
            .Sample("", process.openDescriptors);
        CFamily(out, "process_max_fds", GAUGE, "Maximum number of open file descriptors.")
            .Sample("", process.maxDescriptors);
        CFamily(out, "process_start_time_seconds", GAUGE,
                "Start time of the process since unix epoch in seconds.")
            .Sample("", process.startTime);
    }
    return out;
}
