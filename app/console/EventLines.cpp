// Console mode's event lines: the events worded as lines with their priorities, a connect failure
// told once however often it repeats, and the hourly summary. EventLines.h shows the lines.
#include "app/console/EventLines.h"

#include <ctime>
#include <utility>

#include "app/view/StatusNotes.h"
#include "app/view/StatusTable.h"
#include "core/EventText.h"
#include "resources/OrvaneTypes.h"
#include "resources/StringTable.h"

namespace {

std::string Plural(int64_t count, const char* one, const char* many) {
    return GroupThousands(static_cast<uint64_t>(count)) + " " + (count == 1 ? one : many);
}

std::string StatusName(int32_t status) {
    return LoadResourceString(IDS_STATUS_BASE + status);
}

std::string ModeName(int32_t mode) {
    return mode >= 0 && mode < SAT_MODE_COUNT ? LoadResourceString(IDS_MODE_BASE + mode)
                                              : std::string();
}

// "MES ID 42310017, Data"; the service is left out when there is none.
std::string Session(int32_t mesId, int32_t service) {
    std::string text = "MES ID " + std::to_string(mesId);
    if (service > SERVICE_NONE && service < SERVICE_TYPE_COUNT) {
        text += ", " + LoadResourceString(IDS_SERVICE_BASE + service);
    }
    return text;
}

// ": silent", or nothing when the library gave no reason.
std::string Because(int32_t note) {
    const std::string text = LinkNoteText(note);
    return text.empty() ? text : ": " + text;
}

}  // namespace

CEventLines::CEventLines(CLineOutput& output, Options options)
    : m_output(output), m_options(std::move(options)) {}

CEventLines::Card* CEventLines::CardOf(int32_t number) {
    if (number < 1) {
        return nullptr;
    }
    if (static_cast<size_t>(number) > m_cards.size()) {
        m_cards.resize(static_cast<size_t>(number));
    }
    return &m_cards[static_cast<size_t>(number - 1)];
}

std::string CEventLines::CardName(const StationEvent& event) const {
    return "card " + std::to_string(event.card) + " (serial " + std::to_string(event.serialNumber) +
           ")";
}

void CEventLines::Line(LinePriority priority, const StationEvent& event, const std::string& text) {
    m_output.Write(priority, event.wallTime, CardName(event) + ": " + text);
}

void CEventLines::OnRunStarted(const StationInfo& info) {
    m_cards.clear();
    for (const CardState& row : info.cards) {
        Card* card = CardOf(row.number);
        if (card != nullptr) {
            card->address = row.address;
            card->mode = row.mode;
        }
    }
    std::string text =
        "station started: " + Plural(static_cast<int64_t>(info.cards.size()), "card", "cards");
    text += ", ALS period " + FormatPeriod(info.alsPeriod) + " s";
    text += ", log interval " + FormatPeriod(info.logInterval) + " s";
    if (info.logInterval == 0) {
        text += " (no samples, no statistics file)";
    }
    text += info.watchList.empty()
                ? std::string(", every MES ID followed")
                : ", watch list of " +
                      Plural(static_cast<int64_t>(info.watchList.size()), "MES ID", "MES IDs");
    text += ", data folder " + info.dataDir;
    m_output.Write(LinePriority::Info, info.startTime, text);
}

void CEventLines::OnEvent(const StationEvent& event) {
    Card* card = CardOf(event.card);
    const std::string address = card != nullptr ? card->address : std::string();
    switch (event.kind) {
        case StationEventKind::LinkFailed:
            if (card == nullptr) {
                return;
            }
            ++card->failedAttempts;
            // The same failure again says nothing new; the next link up counts them.
            if (card->failureNote == event.reason) {
                return;
            }
            card->failureNote = event.reason;
            Line(LinePriority::Warning, event,
                 "connect to " + address + " failed" + Because(event.reason));
            return;
        case StationEventKind::LinkUp: {
            std::string text = "link to " + address + " up";
            if (card != nullptr && card->failedAttempts > 0) {
                text += " (after " +
                        Plural(card->failedAttempts, "failed attempt", "failed attempts") + ")";
                card->failedAttempts = 0;
                card->failureNote = 0;
            }
            Line(LinePriority::Info, event, text);
            return;
        }
        case StationEventKind::LinkDown:
            Line(LinePriority::Warning, event,
                 "link to " + address + " down" + Because(event.reason));
            return;
        case StationEventKind::CardNotListed:
            Line(LinePriority::Warning, event,
                 "host " + address + " connected for " + FormatDuration(event.value) +
                     " but does not list serial " + std::to_string(event.serialNumber));
            return;
        case StationEventKind::StatusChanged:
            // Link changes and sessions have lines of their own.
            if (event.reason == static_cast<int32_t>(StatusReason::ModeStarted)) {
                const std::string mode = card != nullptr ? ModeName(card->mode) : std::string();
                Line(LinePriority::Info, event,
                     StatusName(event.status) + (mode.empty() ? "" : ", " + mode));
            } else if (event.reason == static_cast<int32_t>(StatusReason::Other)) {
                Line(LinePriority::Info, event, StatusName(event.status));
            }
            return;
        case StationEventKind::SessionFollowed:
            Line(LinePriority::Info, event,
                 "session followed: " + Session(event.mesId, event.service));
            return;
        case StationEventKind::SessionRefused:
            Line(LinePriority::Info, event,
                 "session refused: " + Session(event.mesId, event.service) + ", " +
                     RefusalText(event.reason, event.heldBy) + "; " +
                     RefusalActionText(event.action));
            return;
        case StationEventKind::SessionEnded:
            Line(LinePriority::Info, event,
                 "session ended: " + Session(event.mesId, event.service) + ", " +
                     FormatDuration(event.value) + " (" + SessionEndText(event.reason) + ")");
            return;
        case StationEventKind::StatisticsWritten:
            m_output.Write(LinePriority::Info, event.wallTime,
                           "statistics file written: " + event.text + " (" +
                               Plural(event.value, "sample", "samples") + ")");
            return;
        case StationEventKind::RecordFailing:
            m_output.Write(LinePriority::Warning, event.wallTime,
                           std::string(RecordName(static_cast<StationRecord>(event.reason))) +
                               " failing since " + FormatLocalTime(event.value) + ": " +
                               event.text);
            return;
        case StationEventKind::RecordResumed:
            m_output.Write(LinePriority::Info, event.wallTime,
                           std::string(RecordName(static_cast<StationRecord>(event.reason))) +
                               " written again");
            return;
        case StationEventKind::StatisticsFailed:  // shown as a message already
        case StationEventKind::Sample:            // counted in the summary
        case StationEventKind::BusySeconds:
            return;
    }
}

void CEventLines::OnPass(const StationPass& pass) {
    if (m_options.summaryEverySeconds <= 0 || !pass.snapshot) {
        return;
    }
    const int64_t every = m_options.summaryEverySeconds * 1000;
    if (m_nextSummaryMs < 0) {
        m_nextSummaryMs = pass.steadyMs + every;
        return;
    }
    if (pass.steadyMs < m_nextSummaryMs) {
        return;
    }
    // Passes come at least once a second; a late one moves the hour on, it
    // does not bring a burst of summaries.
    m_nextSummaryMs += every;
    if (m_nextSummaryMs <= pass.steadyMs) {
        m_nextSummaryMs = pass.steadyMs + every;
    }
    Summary(*pass.snapshot);
}

void CEventLines::Summary(const StationSnapshot& snapshot) {
    int64_t followed = 0;
    int64_t refused = 0;
    for (const CardCounters& counters : snapshot.counters) {
        followed += counters.sessionsFollowed;
        refused += counters.sessionsRefused;
    }
    std::string text = "summary: " + StationStatusText(snapshot) + ", " +
                       Plural(followed, "session", "sessions") + " followed and " +
                       GroupThousands(static_cast<uint64_t>(refused)) + " refused since the start";
    LinePriority priority = LinePriority::Info;
    const uint64_t dropped = m_options.dropped ? m_options.dropped() : 0;
    if (dropped > 0) {
        text += "; " + Plural(static_cast<int64_t>(dropped), "event", "events") +
                " not written (standard output did not keep up)";
        priority = LinePriority::Warning;
    }
    m_output.Write(priority, static_cast<int64_t>(std::time(nullptr)), text);
}
