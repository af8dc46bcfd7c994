// The station's main window: the ten-row status table, the ALS period, the
// log sampling interval and the watch list, all display only.
//
// Life:  constructed → OnInitDialog (the run built and started: core,
//        dispatch thread) → showing (OnStatusRefresh on request, rows read from
//        the run's latest snapshot) → OnOK (the run stopped and ended: stop
//        record, thread joined, core destroyed, records finished) → closed.
//
// Threads: everything here runs on the GUI thread. The dispatch thread's only
// way in is its refresh request, which posts a queued call with no data; at
// most one such call is pending at a time. Exit, the close box, Alt+F4,
// Escape and a stop signal all take the same Exit sequence, so the statistics
// file is always written and the cards always disconnected.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cardlink/CardState.h"
#include "config/Notifier.h"

class CStationRun;
class COperations;
class CAboutDlg;
class CStopSignals;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QSocketNotifier;
class QTimer;

// Control IDs of the dialog's fields; row i of the table adds i.
enum DialogControlId : int {
    IDC_NUMBER = 1000,
    IDC_SERIAL = 1010,
    IDC_STATUS = 1020,
    IDC_MESID = 1030,
    IDC_MODE = 1040,
    IDC_SERVICE = 1050,
    IDC_ADDRESS = 1060,
    IDC_ALS_PERIOD = 1070,
    IDC_WATCH_LIST = 1071,
    IDC_LOG_INTERVAL = 1072,
    IDC_DEVICE = 1073,
};

class COrvaneSystemDlg : public QDialog {
    Q_OBJECT

public:
    explicit COrvaneSystemDlg(QWidget* parent = nullptr);
    // Runs the Exit sequence if it has not run (the core never outlives the dialog).
    ~COrvaneSystemDlg() override;

    // One command-line option (key "A" or "L"); see CommandLine.h.
    void ApplyOption(const std::string& key, const std::string& value);

    // OnInitDialog, then shows the dialog modally until it is left.
    int DoModal();

    // Creates the core (configuration messages appear here, before the dialog
    // is visible) and starts the dispatch thread. Call once, before showing.
    bool OnInitDialog();
    // The Exit sequence; then the dialog ends with the OK result. Runs once.
    void OnOK();
    // Refills the table from the core.
    void OnStatusRefresh();
    // Opens the manual beside the program in the desktop's browser; when the
    // file or a browser is missing, a message box names the manual's path.
    void WinHelp();
    // Shows the About box modally.
    void OnAboutBox();

    // Runs the Exit sequence when a stop signal arrives (not owned; must
    // outlive the dialog).
    void WatchStopSignals(CStopSignals* stopSignals);
    // The operations layer, prepared, attached to the core as soon as it is
    // built (not owned; must outlive the dialog's core).
    void SetOperations(COperations* operations) { m_operations = operations; }
    // Where the dialog's messages go (message boxes, in the program);
    // ShowMessage when none is set. Call before the dialog is shown.
    void SetMessages(MessageHandler show) { m_show = std::move(show); }
    // Shows `text` there; while the dialog is still being set up after a stop
    // was asked for, on standard error instead: nobody would close its box.
    void Tell(const std::string& text);
    // The card-command log's file (--log); empty, the default, writes none.
    // Call before the dialog is shown.
    void SetLogFile(const std::string& file) { m_logFile = file; }
    // Saves a picture of the dialog to `file` after `afterSeconds`.
    void ScheduleScreenshot(const QString& file, int afterSeconds);

    // The field with control ID `id`; nullptr for an unknown ID.
    QLineEdit* Control(int id) const;
    QPushButton* ExitButton() const { return m_exitButton; }
    // The line under the table: uptime, samples taken, time of the last refresh.
    QLabel* StatusLine() const { return m_statusLine; }
    QScrollArea* ScrollArea() const { return m_scroll; }
    // The template's size in pixels of the dialog's font: the smallest size of
    // the table and its footer wherever the screen holds it.
    QSize DesignedSize() const { return m_designedSize; }
    // The tooltip of row `row` (0-based) now; empty for a row without a card.
    QString RowToolTip(int row) const;
    bool HasCore() const { return m_run != nullptr; }
    int32_t CmdAlsPeriod() const { return m_cmdAlsPeriod; }
    int32_t CmdLogInterval() const { return m_cmdLogInterval; }

public slots:
    // The cancel path (Escape, close box, Alt+F4) runs the Exit sequence too.
    void reject() override;
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    // Sets the smallest and the current size for the screen the dialog is on:
    // the designed size where it fits, else what the screen holds, the rest
    // reached by scrolling.
    void FitToScreen();
    void UpdateStatusLine();
    void ShowHelpMessage(const QString& text);
    void RequestRefresh();  // dispatch thread
    void OnStopSignal();

    QIcon m_hIcon;
    std::unique_ptr<CStationRun> m_run;
    int32_t m_cmdAlsPeriod = 0;
    int32_t m_cmdLogInterval = 0;
    std::string m_logFile;

    std::atomic<bool> m_refreshQueued{false};
    bool m_exitStarted = false;
    // A configuration message box runs an event loop while the core is being
    // built; an Exit asked for then (a stop signal) closes the box, sends the
    // remaining configuration messages to standard error and waits until the
    // core exists. Atomic: Tell reads them on the records' threads too.
    std::atomic<bool> m_initialising{false};
    std::atomic<bool> m_exitDeferred{false};
    MessageHandler m_show = ShowMessage;
    std::map<int, QLineEdit*> m_controls;
    QPushButton* m_exitButton = nullptr;
    QScrollArea* m_scroll = nullptr;
    QWidget* m_content = nullptr;  // the table and its footer, inside m_scroll
    QSize m_designedSize;
    QLabel* m_statusLine = nullptr;
    QTimer* m_clock = nullptr;      // ticks the uptime in the status line
    std::vector<CardState> m_rows;  // as of the last refresh, for the tooltips
    int64_t m_lastRefresh = 0;      // wall-clock seconds; 0 before the first
    int64_t m_startTime = 0;        // the core's
    bool m_screenWatched = false;
    QPointer<CAboutDlg> m_about;
    CStopSignals* m_stopSignals = nullptr;
    COperations* m_operations = nullptr;
    QSocketNotifier* m_stopNotifier = nullptr;
};
