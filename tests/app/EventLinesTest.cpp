// Console mode's event lines: what each event becomes, the hourly summary,
// and the one-line texts they share with the service manager's status.
#include "app/console/EventLines.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/console/LineOutput.h"
#include "app/view/StatusNotes.h"
#include "cardlink/VexlinkNotes.h"
#include "support/CapturedOutput.h"
#include "support/TempFiles.h"

namespace {

constexpr int64_t T0 = 1733666587;  // 2024-12-08 14:03:07 UTC

// Lines written to a memory stream, taken back one by one.
class CCapturedLines {
public:
    CLineOutput& Output() { return m_output; }
    std::vector<std::string> Take() { return m_stream.TakeLines(); }

private:
    CCapturedOutput m_stream;
    CLineOutput m_output{m_stream.File()};
};

StationInfo TwoCards() {
    StationInfo info;
    info.startTime = T0;
    info.alsPeriod = 60;
    info.logInterval = 4;
    info.watchList = {42310017};
    info.dataDir = "/var/lib/QUENTAR/OrvaneSystemDx/Data";
    CardState first;
    first.number = 1;
    first.address = "10.1.2.3";
    first.serialNumber = 1203;
    first.mode = MODE_SAT_M;
    CardState second = first;
    second.number = 2;
    second.address = "host-b";
    second.serialNumber = 2001;
    second.mode = MODE_SAT_C_TDM;
    info.cards = {first, second};
    return info;
}

StationEvent Event(StationEventKind kind, int32_t card, int32_t reason = 0) {
    StationEvent event;
    event.kind = kind;
    event.wallTime = T0;
    event.card = card;
    event.serialNumber = card == 1 ? 1203 : 2001;
    event.reason = reason;
    return event;
}

class EventLinesTest : public testing::Test {
protected:
    CEnvGuard m_tz{"TZ", std::string("UTC")};
    CCapturedLines m_lines;
};

TEST_F(EventLinesTest, TellsEachEventWithItsPriorityAndReason) {
    CEventLines lines(m_lines.Output(), {});
    lines.OnRunStarted(TwoCards());
    EXPECT_EQ(m_lines.Take(), std::vector<std::string>{
                                  "<6>2024-12-08 14:03:07 station started: 2 cards, ALS period 60 "
                                  "s, log interval 4 s, watch list of 1 MES ID, data folder "
                                  "/var/lib/QUENTAR/OrvaneSystemDx/Data"});

    struct Step {
        const char* name;
        StationEvent event;
        std::vector<std::string> lines;  // after the "<P>time " prefix, with the priority
    };
    StationEvent followed = Event(StationEventKind::SessionFollowed, 1);
    followed.mesId = 42310017;
    followed.service = SERVICE_DATA;
    StationEvent notWatched =
        Event(StationEventKind::SessionRefused, 2, static_cast<int32_t>(RefusalReason::NotWatched));
    notWatched.mesId = 555;
    notWatched.action = static_cast<int32_t>(RefusalAction::ModeSetup);
    StationEvent held =
        Event(StationEventKind::SessionRefused, 2, static_cast<int32_t>(RefusalReason::HeldByCard));
    held.mesId = 42310017;
    held.service = SERVICE_FAX;
    held.heldBy = 1;
    StationEvent ended =
        Event(StationEventKind::SessionEnded, 1, static_cast<int32_t>(SessionEndCause::LinkDown));
    ended.mesId = 42310017;
    ended.service = SERVICE_DATA;
    ended.value = 125;
    StationEvent notListed = Event(StationEventKind::CardNotListed, 2);
    notListed.value = 31;
    StationEvent modeRunning =
        Event(StationEventKind::StatusChanged, 1, static_cast<int32_t>(StatusReason::ModeStarted));
    modeRunning.status = STATUS_MODE_RUNNING;
    StationEvent hostConnected =
        Event(StationEventKind::StatusChanged, 1, static_cast<int32_t>(StatusReason::LinkUp));
    hostConnected.status = STATUS_HOST_CONNECTED;
    StationEvent written = Event(StationEventKind::StatisticsWritten, 0);
    written.text = "/data/Stat2024_Dec_08_140307.txt";
    written.value = 1234;

    const Step steps[] = {
        {"refused",
         Event(StationEventKind::LinkFailed, 1, VEXLINK_NOTE_REFUSED),
         {"<4> card 1 (serial 1203): connect to 10.1.2.3 failed: refused"}},
        {"refused again", Event(StationEventKind::LinkFailed, 1, VEXLINK_NOTE_REFUSED), {}},
        {"timed out",
         Event(StationEventKind::LinkFailed, 1, VEXLINK_NOTE_TIMED_OUT),
         {"<4> card 1 (serial 1203): connect to 10.1.2.3 failed: timed out"}},
        {"up",
         Event(StationEventKind::LinkUp, 1),
         {"<6> card 1 (serial 1203): link to 10.1.2.3 up (after 3 failed attempts)"}},
        {"host connected (told by the link line)", hostConnected, {}},
        {"mode running", modeRunning, {"<6> card 1 (serial 1203): Mode Running, sat-m"}},
        {"not listed",
         notListed,
         {"<4> card 2 (serial 2001): host host-b connected for 31 s but does not list serial "
          "2001"}},
        {"followed",
         followed,
         {"<6> card 1 (serial 1203): session followed: MES ID 42310017, Data"}},
        {"not watched",
         notWatched,
         {"<6> card 2 (serial 2001): session refused: MES ID 555, not on the watch list; "
          "sat-c-tdm re-setup"}},
        {"held",
         held,
         {"<6> card 2 (serial 2001): session refused: MES ID 42310017, Fax, held by card 1; "
          "resync"}},
        {"ended",
         ended,
         {"<6> card 1 (serial 1203): session ended: MES ID 42310017, Data, 2 min 5 s (link "
          "down)"}},
        {"silent",
         Event(StationEventKind::LinkDown, 1, VEXLINK_NOTE_SILENT),
         {"<4> card 1 (serial 1203): link to 10.1.2.3 down: silent"}},
        {"closed",
         Event(StationEventKind::LinkDown, 2, VEXLINK_NOTE_CLOSED_BY_HOST),
         {"<4> card 2 (serial 2001): link to host-b down: closed by the host"}},
        {"refused after a link",
         Event(StationEventKind::LinkFailed, 1, VEXLINK_NOTE_REFUSED),
         {"<4> card 1 (serial 1203): connect to 10.1.2.3 failed: refused"}},
        {"up after one",
         Event(StationEventKind::LinkUp, 1),
         {"<6> card 1 (serial 1203): link to 10.1.2.3 up (after 1 failed attempt)"}},
        {"sample", Event(StationEventKind::Sample, 0), {}},
        {"written",
         written,
         {"<6> statistics file written: /data/Stat2024_Dec_08_140307.txt (1,234 samples)"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        lines.OnEvent(step.event);
        std::vector<std::string> expected;
        for (const std::string& line : step.lines) {
            expected.push_back(line.substr(0, 3) + "2024-12-08 14:03:07" + line.substr(3));
        }
        EXPECT_EQ(m_lines.Take(), expected);
    }
}

// The text of every reason each kind of event can carry, and the status
// changes that have no line of their own.
TEST_F(EventLinesTest, TellsTheReasonOfEveryKind) {
    CEventLines lines(m_lines.Output(), {});
    lines.OnRunStarted(TwoCards());
    m_lines.Take();
    using K = StationEventKind;
    auto ended = [](SessionEndCause cause) {
        StationEvent event = Event(K::SessionEnded, 1, static_cast<int32_t>(cause));
        event.mesId = 7;
        event.value = 5;
        return event;
    };
    auto status = [](StatusReason reason) {
        StationEvent event = Event(K::StatusChanged, 1, static_cast<int32_t>(reason));
        event.status = STATUS_HOST_CONNECTED;
        return event;
    };
    StationEvent unknown =
        Event(K::SessionRefused, 1, static_cast<int32_t>(RefusalReason::Unknown));
    unknown.mesId = 7;
    const struct {
        StationEvent event;
        const char* line;  // "<P>" and what follows "card 1 (serial 1203): "; "" for none
    } cases[] = {
        {Event(K::LinkFailed, 1, VEXLINK_NOTE_UNRESOLVED),
         "<4>connect to 10.1.2.3 failed: host name not resolved"},
        {Event(K::LinkFailed, 1, VEXLINK_NOTE_UNREACHABLE),
         "<4>connect to 10.1.2.3 failed: unreachable"},
        {Event(K::LinkFailed, 1, VEXLINK_NOTE_NONE), "<4>connect to 10.1.2.3 failed"},
        {Event(K::LinkDown, 1, VEXLINK_NOTE_PROTOCOL),
         "<4>link to 10.1.2.3 down: protocol violation"},
        {Event(K::LinkDown, 1, VEXLINK_NOTE_OVERFLOW),
         "<4>link to 10.1.2.3 down: host stopped reading"},
        {Event(K::LinkDown, 1, VEXLINK_NOTE_DISCONNECTED),
         "<4>link to 10.1.2.3 down: disconnected"},
        {Event(K::LinkDown, 1, VEXLINK_NOTE_FAILED), "<4>link to 10.1.2.3 down: network error"},
        {Event(K::LinkDown, 1, VEXLINK_NOTE_NONE), "<4>link to 10.1.2.3 down"},
        {ended(SessionEndCause::EndRecord), "<6>session ended: MES ID 7, 5 s (end record)"},
        {ended(SessionEndCause::LinkUp), "<6>session ended: MES ID 7, 5 s (link up)"},
        {ended(SessionEndCause::Replaced), "<6>session ended: MES ID 7, 5 s (replaced)"},
        {ended(SessionEndCause::ModeStarted), "<6>session ended: MES ID 7, 5 s (mode setup)"},
        {ended(SessionEndCause::Other), "<6>session ended: MES ID 7, 5 s (other)"},
        {unknown, "<6>session refused: MES ID 7, unknown; resync"},
        {status(StatusReason::Other), "<6>Host Connected"},
        {status(StatusReason::LinkDown), ""},
        {status(StatusReason::SessionFollowed), ""},
        {status(StatusReason::SessionEnded), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        lines.OnEvent(c.event);
        std::vector<std::string> expected;
        if (*c.line != '\0') {
            expected.push_back(std::string(c.line, 3) +
                               "2024-12-08 14:03:07 card 1 (serial 1203): " + (c.line + 3));
        }
        EXPECT_EQ(m_lines.Take(), expected);
    }
}

// A failure's reason and count belong to the streak of attempts that a link
// up ends: the same reason after the link is news again, on each card.
TEST_F(EventLinesTest, AFailureReasonEndsWithTheLinkItKeptDown) {
    CEventLines lines(m_lines.Output(), {});
    lines.OnRunStarted(TwoCards());
    m_lines.Take();
    using K = StationEventKind;
    const StationEvent refused = Event(K::LinkFailed, 1, VEXLINK_NOTE_REFUSED);
    const std::string failed =
        "<4>2024-12-08 14:03:07 card 1 (serial 1203): connect to 10.1.2.3 "
        "failed: refused";
    const std::string up = "<6>2024-12-08 14:03:07 card 1 (serial 1203): link to 10.1.2.3 up";
    const struct {
        StationEvent event;
        std::vector<std::string> lines;
    } steps[] = {
        {refused, {failed}},
        {Event(K::LinkUp, 1), {up + " (after 1 failed attempt)"}},
        {refused, {failed}},
        {refused, {}},
        {Event(K::LinkFailed, 2, VEXLINK_NOTE_REFUSED),
         {"<4>2024-12-08 14:03:07 card 2 (serial 2001): connect to host-b failed: refused"}},
        {Event(K::LinkUp, 1), {up + " (after 2 failed attempts)"}},
        {Event(K::LinkDown, 1, VEXLINK_NOTE_SILENT),
         {"<4>2024-12-08 14:03:07 card 1 (serial 1203): link to 10.1.2.3 down: silent"}},
        {Event(K::LinkUp, 1), {up}},
        {refused, {failed}},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        lines.OnEvent(steps[i].event);
        EXPECT_EQ(m_lines.Take(), steps[i].lines) << "step " << i;
    }
}

StationPass Pass(int64_t steadyMs, const std::shared_ptr<const StationSnapshot>& snapshot) {
    StationPass pass;
    pass.steadyMs = steadyMs;
    pass.snapshot = snapshot;
    return pass;
}

TEST_F(EventLinesTest, SummarisesOncePerPeriodAndNeverInABurst) {
    auto snapshot = std::make_shared<StationSnapshot>();
    snapshot->rows.resize(3);
    snapshot->rows[0].status = STATUS_BUSY_SESSION;
    snapshot->rows[1].status = STATUS_HOST_CONNECTED;
    snapshot->samplesTaken = 1234;
    snapshot->counters.resize(3);
    snapshot->counters[0].sessionsFollowed = 2;
    snapshot->counters[1].sessionsFollowed = 1;
    snapshot->counters[2].sessionsRefused = 4;
    uint64_t dropped = 0;
    CEventLines::Options options;
    options.summaryEverySeconds = 10;
    options.dropped = [&dropped] { return dropped; };
    CEventLines lines(m_lines.Output(), options);

    const std::string summary =
        "summary: 2 of 3 cards up, 1 busy, 1,234 samples, 3 sessions followed and 4 refused "
        "since the start";
    struct Step {
        int64_t steadyMs;
        size_t summaries;
    };
    // The first pass starts the clock; a late pass gives one summary and
    // starts the next period from itself.
    const Step steps[] = {{5000, 0},  {14999, 0}, {15000, 1},  {24000, 0},
                          {25000, 1}, {99000, 1}, {100000, 0}, {109000, 1}};
    for (const Step& step : steps) {
        lines.OnPass(Pass(step.steadyMs, snapshot));
        const std::vector<std::string> written = m_lines.Take();
        ASSERT_EQ(written.size(), step.summaries) << "at " << step.steadyMs << " ms";
        for (const std::string& line : written) {
            EXPECT_TRUE(line.starts_with("<6>")) << line;
            EXPECT_TRUE(line.ends_with(summary)) << line;
        }
    }

    // Events the queue had to drop are owned up to, as a warning.
    dropped = 7;
    lines.OnPass(Pass(119000, snapshot));
    const std::vector<std::string> written = m_lines.Take();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_TRUE(written[0].starts_with("<4>")) << written[0];
    EXPECT_TRUE(written[0].ends_with("; 7 events not written (standard output did not keep up)"))
        << written[0];
}

TEST_F(EventLinesTest, ALineStaysALine) {
    EXPECT_EQ(CLineOutput::Format(LinePriority::Error, T0, "Can't open /x/OrvaneSystemDx.ini."),
              "<3>2024-12-08 14:03:07 Can't open /x/OrvaneSystemDx.ini.\n");
    // A text of several lines gives several lines, each with the prefix;
    // other control characters (from a configuration file) cannot break one.
    EXPECT_EQ(CLineOutput::Format(LinePriority::Warning, T0, "first\nsecond\r\x1b[2J\n"),
              "<4>2024-12-08 14:03:07 first\n<4>2024-12-08 14:03:07 second??[2J\n");
}

TEST(StationStatusTextTest, CountsCardsUpAndBusyAndGroupsThousands) {
    EXPECT_EQ(GroupThousands(0), "0");
    EXPECT_EQ(GroupThousands(999), "999");
    EXPECT_EQ(GroupThousands(1000), "1,000");
    EXPECT_EQ(GroupThousands(1234567), "1,234,567");

    StationSnapshot snapshot;
    EXPECT_EQ(StationStatusText(snapshot), "0 of 0 cards up, 0 busy, 0 samples");
    const int32_t statuses[] = {STATUS_NOT_CONNECTED, STATUS_HOST_CONNECTED, STATUS_MODE_RUNNING,
                                STATUS_BUSY_SESSION,  STATUS_BUSY_SESSION,   STATUS_NOT_CONNECTED,
                                STATUS_MODE_RUNNING,  STATUS_MODE_RUNNING,   STATUS_BUSY_SESSION,
                                STATUS_MODE_RUNNING};
    for (const int32_t status : statuses) {
        CardState row;
        row.status = status;
        snapshot.rows.push_back(row);
    }
    snapshot.samplesTaken = 1234;
    EXPECT_EQ(StationStatusText(snapshot), "8 of 10 cards up, 3 busy, 1,234 samples");
}

}  // namespace
