#include "app/MainDialog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <array>
#include <cstdio>
#include <vector>

#include "app/AboutDlg.h"
#include "app/AppIcon.h"
#include "app/CommandLine.h"
#include "app/DispatchThread.h"
#include "app/Operations.h"
#include "app/StatusTable.h"
#include "app/StopSignals.h"
#include "config/Notifier.h"
#include "core/Monitor.h"
#include "resources/OrvaneTypes.h"
#include "resources/StringTable.h"

namespace {

// The dialog template, in dialog units (a quarter of the average character
// width across, an eighth of the character height down).
constexpr int TEMPLATE_WIDTH = 505;
constexpr int TEMPLATE_HEIGHT = 294;
constexpr int HEADING_Y = 25;
constexpr int LABEL_HEIGHT = 8;
constexpr int FIELD_HEIGHT = 12;
constexpr std::array<int, MAX_CARDS> ROW_Y = {38, 59, 81, 101, 123, 144, 166, 186, 206, 226};

struct ColumnLayout {
    int x;
    int width;
    int firstControlId;
};
// In heading order (STATUS_COLUMN_HEADINGS).
constexpr std::array<ColumnLayout, STATUS_COLUMN_COUNT> COLUMNS = {{
    {17, 22, IDC_NUMBER},
    {45, 53, IDC_MODE},
    {103, 122, IDC_ADDRESS},
    {231, 35, IDC_DEVICE},
    {272, 48, IDC_SERIAL},
    {327, 54, IDC_STATUS},
    {389, 44, IDC_MESID},
    {438, 50, IDC_SERVICE},
}};

struct FooterLayout {
    const char* label;
    int x;
    int width;
    int controlId;
};
constexpr int FOOTER_LABEL_Y = 251;
constexpr int FOOTER_FIELD_Y = 264;
constexpr std::array<FooterLayout, 3> FOOTER = {{
    {ALS_PERIOD_LABEL, 17, 53, IDC_ALS_PERIOD},
    {LOG_INTERVAL_LABEL, 103, 53, IDC_LOG_INTERVAL},
    {WATCH_LIST_LABEL, 189, 149, IDC_WATCH_LIST},
}};

// The Exit button of the template, and the two buttons that stand in for the
// system menu's About item and the Help key on a desktop without them.
constexpr QRect EXIT_BUTTON(395, 258, 50, 14);
constexpr QRect ABOUT_BUTTON(450, 258, 50, 14);
constexpr QRect HELP_BUTTON(395, 276, 50, 14);

constexpr const char* DIALOG_TITLE = "OrvaneSystemDx";

// Converts dialog units to pixels for the dialog's font.
class CDialogUnits {
public:
    explicit CDialogUnits(const QFontMetrics& metrics)
        : m_charWidth(metrics.horizontalAdvance(
                          QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                      52.0),
          m_charHeight(metrics.height()) {}

    int X(int units) const { return static_cast<int>(units * m_charWidth / 4.0 + 0.5); }
    int Y(int units) const { return (units * m_charHeight + 4) / 8; }
    QRect Rect(int x, int y, int width, int height) const {
        return QRect(X(x), Y(y), X(width), Y(height));
    }
    QRect Rect(const QRect& units) const {
        return Rect(units.x(), units.y(), units.width(), units.height());
    }

private:
    double m_charWidth;
    int m_charHeight;
};

// A message that no box will show any more.
void PrintMessage(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

QString Caption() {
    QString models;
    for (int32_t device = 0; device < DEVICE_MODEL_COUNT; ++device) {
        if (device > 0) {
            models += QStringLiteral(", ");
        }
        models += QString::fromStdString(LoadResourceString(IDS_DEVICE_BASE + device));
    }
    return QStringLiteral("%1 - MES traffic monitor for %2").arg(DIALOG_TITLE, models);
}

}  // namespace

COrvaneSystemDlg::COrvaneSystemDlg(QWidget* parent) : QDialog(parent), m_hIcon(AppIcon()) {
    setWindowTitle(Caption());
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    CreateControls();
}

COrvaneSystemDlg::~COrvaneSystemDlg() {
    // A dialog destroyed without Exit (an error path of the program) must
    // still not leave the thread running on a dead core.
    if (m_pCore) {
        m_pCore->PostQuit();
    }
    if (m_dispatchThread.joinable()) {
        m_dispatchThread.join();
    }
    m_pCore.reset();
}

void COrvaneSystemDlg::CreateControls() {
    const CDialogUnits units(fontMetrics());
    setFixedSize(units.X(TEMPLATE_WIDTH), units.Y(TEMPLATE_HEIGHT));

    auto addField = [this, &units](int id, int x, int y, int width) {
        auto* field = new QLineEdit(this);
        field->setReadOnly(true);
        field->setObjectName(QStringLiteral("control%1").arg(id));
        field->setGeometry(units.Rect(x, y, width, FIELD_HEIGHT));
        m_controls[id] = field;
    };
    auto addLabel = [this, &units](const char* text, int x, int y, int width) {
        auto* label = new QLabel(QString::fromUtf8(text), this);
        const int minimum = label->sizeHint().width();
        QRect rect = units.Rect(x, y, width, LABEL_HEIGHT + 2);
        rect.setWidth(std::max(rect.width(), minimum));
        label->setGeometry(rect);
    };

    for (size_t c = 0; c < COLUMNS.size(); ++c) {
        const ColumnLayout& column = COLUMNS[c];
        addLabel(STATUS_COLUMN_HEADINGS[c], column.x, HEADING_Y, column.width);
        for (int row = 0; row < MAX_CARDS; ++row) {
            addField(column.firstControlId + row, column.x, ROW_Y[static_cast<size_t>(row)],
                     column.width);
        }
    }
    for (const FooterLayout& footer : FOOTER) {
        addLabel(footer.label, footer.x, FOOTER_LABEL_Y, footer.width);
        addField(footer.controlId, footer.x, FOOTER_FIELD_Y, footer.width);
    }

    m_exitButton = new QPushButton(tr("Exit"), this);
    m_exitButton->setGeometry(units.Rect(EXIT_BUTTON));
    m_exitButton->setDefault(true);
    connect(m_exitButton, &QPushButton::clicked, this, &COrvaneSystemDlg::OnOK);

    // Enter always means Exit, as with the template's only button: the two
    // extra buttons never become the default.
    auto* about = new QPushButton(tr("&About..."), this);
    about->setGeometry(units.Rect(ABOUT_BUTTON));
    about->setAutoDefault(false);
    connect(about, &QPushButton::clicked, this, &COrvaneSystemDlg::OnAboutBox);

    auto* help = new QPushButton(tr("&Help"), this);
    help->setGeometry(units.Rect(HELP_BUTTON));
    help->setAutoDefault(false);
    connect(help, &QPushButton::clicked, this, &COrvaneSystemDlg::WinHelp);

    auto* helpKey = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(helpKey, &QShortcut::activated, this, &COrvaneSystemDlg::WinHelp);
}

void COrvaneSystemDlg::ApplyOption(const std::string& key, const std::string& value) {
    CommandLineOptions options{m_cmdAlsPeriod, m_cmdLogInterval};
    ApplyCommandLineOption(options, key, value);
    m_cmdAlsPeriod = options.alsPeriod;
    m_cmdLogInterval = options.logInterval;
}

int COrvaneSystemDlg::DoModal() {
    OnInitDialog();
    return exec();
}

bool COrvaneSystemDlg::OnInitDialog() {
    // The window has no system menu on this desktop; its context menu carries
    // the About item instead, after a separator as the system menu would.
    const std::string aboutText = LoadResourceString(IDS_ABOUTBOX);
    if (!aboutText.empty()) {
        auto* separator = new QAction(this);
        separator->setSeparator(true);
        addAction(separator);
        auto* about = new QAction(QString::fromStdString(aboutText), this);
        about->setObjectName(QStringLiteral("aboutAction"));
        connect(about, &QAction::triggered, this, &COrvaneSystemDlg::OnAboutBox);
        addAction(about);
        setContextMenuPolicy(Qt::ActionsContextMenu);
    }

    setWindowIcon(m_hIcon);

    // Configuration errors are shown while the core is built, before the
    // dialog becomes visible. Once a stop has been asked for, nobody is
    // expected to close message boxes any more: the rest go to standard error.
    const MessageHandler shown = InstallMessageHandler({});
    InstallMessageHandler([this, shown](const std::string& text) {
        if (m_exitDeferred || !shown) {
            PrintMessage(text);
        } else {
            shown(text);
        }
    });
    m_initialising = true;
    m_pCore = std::make_unique<COrvane>(m_cmdLogInterval, m_cmdAlsPeriod);
    if (m_operations != nullptr) {
        m_operations->Attach(*m_pCore);
    }
    m_initialising = false;
    InstallMessageHandler(shown);

    auto params = std::make_unique<DispatchParams>();
    params->core = m_pCore.get();
    params->refresh = [this] { RequestRefresh(); };
    m_dispatchThread = std::thread(DispatchThread, std::move(params));

    if (m_exitDeferred) {
        // Runs from the dialog's own event loop, once it is up.
        QMetaObject::invokeMethod(this, &COrvaneSystemDlg::OnOK, Qt::QueuedConnection);
    }
    return true;
}

void COrvaneSystemDlg::RequestRefresh() {
    // Dispatch thread. At most one call is queued; the flag is cleared by the
    // call before it reads the core, so no change goes unseen.
    if (m_refreshQueued.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_refreshQueued.store(false);
            OnStatusRefresh();
        },
        Qt::QueuedConnection);
}

void COrvaneSystemDlg::OnStatusRefresh() {
    if (!m_pCore) {
        return;  // a request that arrived after Exit
    }
    std::vector<CardState> rows;
    m_pCore->GetCardRows(rows);
    for (size_t i = 0; i < rows.size() && i < static_cast<size_t>(MAX_CARDS); ++i) {
        const auto texts = StatusRowTexts(rows[i]);
        for (size_t c = 0; c < COLUMNS.size(); ++c) {
            Control(COLUMNS[c].firstControlId + static_cast<int>(i))
                ->setText(QString::fromStdString(texts[c]));
        }
    }
    Control(IDC_ALS_PERIOD)->setText(QString::fromStdString(FormatPeriod(m_pCore->GetAlsPeriod())));
    Control(IDC_LOG_INTERVAL)
        ->setText(QString::fromStdString(FormatPeriod(m_pCore->GetLogInterval())));
    Control(IDC_WATCH_LIST)
        ->setText(QString::fromStdString(FormatWatchList(m_pCore->GetWatchList())));
}

void COrvaneSystemDlg::OnOK() {
    if (m_initialising) {
        // Ending the dialog now would leave it to be shown afterwards with a
        // running core and no way left to close it. A configuration message
        // box that is up would hold the start, and with it the Exit, until
        // someone closed it: it is closed now, its text kept on standard error.
        m_exitDeferred = true;
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            PrintMessage(box->text().toLocal8Bit().toStdString());
            box->done(QMessageBox::Ok);
        }
        return;
    }
    // Message boxes of the statistics file run an event loop inside the core's
    // destructor; a second Exit (Escape, a signal) must not start over.
    if (m_exitStarted) {
        return;
    }
    m_exitStarted = true;
    if (m_about) {
        m_about->reject();
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (m_pCore) {
        m_pCore->PostQuit();
    }
    if (m_dispatchThread.joinable()) {
        m_dispatchThread.join();
    }
    // Moved out first, so a refresh call that runs meanwhile sees no core.
    std::unique_ptr<COrvane> core = std::move(m_pCore);
    core.reset();
    QApplication::restoreOverrideCursor();
    QDialog::done(QDialog::Accepted);
}

void COrvaneSystemDlg::accept() {
    OnOK();
}

void COrvaneSystemDlg::reject() {
    OnOK();
}

void COrvaneSystemDlg::WinHelp() {
    const QString path = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                         QString::fromStdString(LoadResourceString(IDS_HELP_FILE));
    if (!QFileInfo::exists(path)) {
        return;
    }
    // Without a browser the request fails, and nothing happens, as intended.
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void COrvaneSystemDlg::OnAboutBox() {
    if (m_about) {
        return;
    }
    CAboutDlg about(this);
    m_about = &about;
    about.exec();
}

void COrvaneSystemDlg::WatchStopSignals(CStopSignals* stopSignals) {
    if (stopSignals == nullptr || !stopSignals->Valid()) {
        return;
    }
    m_stopSignals = stopSignals;
    m_stopNotifier = new QSocketNotifier(stopSignals->Fd(), QSocketNotifier::Read, this);
    connect(m_stopNotifier, &QSocketNotifier::activated, this, &COrvaneSystemDlg::OnStopSignal);
}

void COrvaneSystemDlg::OnStopSignal() {
    if (m_stopSignals->TakeSignals()) {
        OnOK();
    }
}

void COrvaneSystemDlg::ScheduleScreenshot(const QString& file, int afterSeconds) {
    QTimer::singleShot(afterSeconds * 1000, this, [this, file] {
        const bool saved = grab().save(file, "PNG");
        std::fprintf(stderr, saved ? "screenshot saved: %s\n" : "cannot save screenshot: %s\n",
                     file.toLocal8Bit().constData());
    });
}

QLineEdit* COrvaneSystemDlg::Control(int id) const {
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}
