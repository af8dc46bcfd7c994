// The main dialog: its layout from the template's dialog units, the run it starts and ends, its
// rows refreshed with their colours and tooltips, Help, About and the Exit sequence. MainDialog.h
// draws its life.
#include "app/dialog/MainDialog.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSocketNotifier>
#include <QSpacerItem>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>
#include <array>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

#include "app/dialog/AboutDlg.h"
#include "app/dialog/AppIcon.h"
#include "app/program/CommandLine.h"
#include "app/program/StopSignals.h"
#include "app/run/Operations.h"
#include "app/view/StatusNotes.h"
#include "app/view/StatusPalette.h"
#include "app/view/StatusTable.h"
#include "config/Notifier.h"
#include "core/EventText.h"
#include "core/Monitor.h"
#include "core/StationRun.h"
#include "resources/OrvaneTypes.h"
#include "resources/StringTable.h"

namespace {

// The dialog template, in dialog units (a quarter of the average character
// width across, an eighth of the character height down). Its size is the
// smallest size of the table wherever the screen holds it; its column widths
// share out the width the window grows by.
constexpr int TEMPLATE_WIDTH = 505;
constexpr int TEMPLATE_HEIGHT = 294;

struct ColumnLayout {
    int width;  // dialog units in the template
    int firstControlId;
};
// In heading order (STATUS_COLUMN_HEADINGS).
constexpr std::array<ColumnLayout, STATUS_COLUMN_COUNT> COLUMNS = {{
    {22, IDC_NUMBER},
    {53, IDC_MODE},
    {122, IDC_ADDRESS},
    {35, IDC_DEVICE},
    {48, IDC_SERIAL},
    {54, IDC_STATUS},
    {44, IDC_MESID},
    {50, IDC_SERVICE},
}};
constexpr size_t STATUS_COLUMN = 5;

struct FooterLayout {
    const char* label;
    int width;  // dialog units in the template
    int controlId;
};
constexpr std::array<FooterLayout, 3> FOOTER = {{
    {ALS_PERIOD_LABEL, 53, IDC_ALS_PERIOD},
    {LOG_INTERVAL_LABEL, 53, IDC_LOG_INTERVAL},
    {WATCH_LIST_LABEL, 149, IDC_WATCH_LIST},
}};
// The template's gap between the watch list and the Exit button.
constexpr int FOOTER_GAP_WIDTH = 57;

// The widest texts a field of each kind must show whole.
constexpr const char* WIDEST_NUMBER = "-2147483648";
constexpr const char* WIDEST_PERIOD = "4294967295";
constexpr const char* WIDEST_ADDRESS = "255.255.255.255";
constexpr const char* WIDEST_WATCH_LIST = "4294967295, 4294967295";
// QLineEdit keeps this many pixels free on each side of its text.
constexpr int LINE_EDIT_TEXT_MARGIN = 2;

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

// The width a read-only field needs to show each of `texts` whole in `font`.
int FieldWidthFor(const QLineEdit* field, const QFont& font, const QStringList& texts) {
    const QFontMetrics metrics(font);
    int widest = 0;
    for (const QString& text : texts) {
        widest = std::max(widest, metrics.horizontalAdvance(text));
    }
    QStyleOptionFrame option;
    option.initFrom(field);
    option.rect = field->rect();
    option.lineWidth = field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, field);
    option.midLineWidth = 0;
    option.state |= QStyle::State_Sunken | QStyle::State_ReadOnly;
    option.features = QStyleOptionFrame::None;
    const QSize contents(widest + 2 * LINE_EDIT_TEXT_MARGIN + 1, metrics.height());
    return field->style()->sizeFromContents(QStyle::CT_LineEdit, &option, contents, field).width();
}

QStringList ResourceTexts(int base, int count) {
    QStringList texts;
    for (int index = 0; index < count; ++index) {
        texts << QString::fromStdString(LoadResourceString(base + index));
    }
    return texts;
}

// The texts each column can show, widest first where it matters.
QStringList ColumnTexts(int firstControlId) {
    switch (firstControlId) {
        case IDC_NUMBER:
            return {QString::number(MAX_CARDS)};
        case IDC_MODE:
            return ResourceTexts(IDS_MODE_BASE, SAT_MODE_COUNT);
        case IDC_ADDRESS:
            return {WIDEST_ADDRESS};
        case IDC_DEVICE:
            return ResourceTexts(IDS_DEVICE_BASE, DEVICE_MODEL_COUNT);
        case IDC_STATUS:
            return ResourceTexts(IDS_STATUS_BASE, STATUS_BUSY_SESSION + 1);
        case IDC_SERVICE:
            return ResourceTexts(IDS_SERVICE_BASE, SERVICE_TYPE_COUNT);
        case IDC_SERIAL:
        case IDC_MESID:
            return {WIDEST_NUMBER};
        case IDC_WATCH_LIST:
            return {WIDEST_WATCH_LIST};
        default:
            return {WIDEST_PERIOD};
    }
}

QColor ColourOf(uint32_t rgb) {
    return QColor::fromRgb(static_cast<QRgb>(rgb));
}

// The Op Status field in the colours of `status`, its text kept.
void PaintStatus(QLineEdit* field, int32_t status) {
    QPalette palette = field->parentWidget()->palette();  // the desktop's, for no status
    QFont font = field->font();
    font.setBold(false);
    if (const std::optional<StatusColours> colours = StatusColoursOf(status)) {
        for (const QPalette::ColorRole role : {QPalette::Base, QPalette::Window}) {
            palette.setColor(role, ColourOf(colours->background));
        }
        for (const QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText}) {
            palette.setColor(role, ColourOf(colours->text));
        }
        font.setBold(colours->bold);
    }
    field->setPalette(palette);
    field->setFont(font);
}

}  // namespace

COrvaneSystemDlg::COrvaneSystemDlg(QWidget* parent) : QDialog(parent), m_hIcon(AppIcon()) {
    setWindowTitle(Caption());
    // The window grows with its table, so it offers maximise too.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    CreateControls();
}

COrvaneSystemDlg::~COrvaneSystemDlg() {
    // A dialog destroyed without Exit (an error path of the program) must
    // still not leave the thread running on a dead core: the run ends itself.
    m_run.reset();
}

void COrvaneSystemDlg::CreateControls() {
    const CDialogUnits units(fontMetrics());
    m_designedSize = QSize(units.X(TEMPLATE_WIDTH), units.Y(TEMPLATE_HEIGHT));

    // The table and its footer live in a scroll area, which shows scroll bars
    // only on a screen too small for them (high scaling on a small screen).
    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_content = new QWidget(m_scroll);
    m_content->setObjectName(QStringLiteral("content"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(m_scroll);

    auto addField = [this](int id) {
        auto* field = new QLineEdit(m_content);
        field->setReadOnly(true);
        field->setObjectName(QStringLiteral("control%1").arg(id));
        field->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        m_controls[id] = field;
        return field;
    };
    auto fitField = [](QLineEdit* field, const QStringList& texts, bool bold) {
        QFont font = field->font();
        font.setBold(bold);
        field->setMinimumWidth(FieldWidthFor(field, font, texts));
    };

    // The status table: headings over ten rows, the columns in the template's
    // order, each as wide as its widest text and sharing the width beyond that
    // as the template does.
    auto* table = new QGridLayout;
    table->setVerticalSpacing(units.Y(4));
    for (size_t c = 0; c < COLUMNS.size(); ++c) {
        const ColumnLayout& column = COLUMNS[c];
        auto* heading = new QLabel(QString::fromUtf8(STATUS_COLUMN_HEADINGS[c]), m_content);
        heading->setObjectName(QStringLiteral("heading%1").arg(c));
        table->addWidget(heading, 0, static_cast<int>(c), Qt::AlignLeft | Qt::AlignBottom);
        table->setColumnStretch(static_cast<int>(c), column.width);
        const QStringList texts = ColumnTexts(column.firstControlId);
        for (int row = 0; row < MAX_CARDS; ++row) {
            QLineEdit* field = addField(column.firstControlId + row);
            // The status field may be bold (Not Connected).
            fitField(field, texts, c == STATUS_COLUMN);
            field->setProperty("cardRow", row);
            field->installEventFilter(this);
            table->addWidget(field, row + 1, static_cast<int>(c));
        }
    }
    // Rows spread out evenly as the window grows: the fields keep their
    // height, an invisible spacer beside each row takes the extra.
    for (int row = 1; row <= MAX_CARDS; ++row) {
        table->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), row,
                       static_cast<int>(COLUMNS.size()));
        table->setRowStretch(row, 1);
    }
    table->setColumnStretch(static_cast<int>(COLUMNS.size()), 0);

    m_statusLine = new QLabel(m_content);
    m_statusLine->setObjectName(QStringLiteral("statusLine"));

    // The footer: the three settings, then Exit and About, Help under Exit.
    auto* footer = new QGridLayout;
    int column = 0;
    for (const FooterLayout& item : FOOTER) {
        footer->addWidget(new QLabel(QString::fromUtf8(item.label), m_content), 0, column);
        QLineEdit* field = addField(item.controlId);
        fitField(field, ColumnTexts(item.controlId), false);
        footer->addWidget(field, 1, column);
        footer->setColumnStretch(column, item.width);
        ++column;
    }
    footer->setColumnStretch(column++, FOOTER_GAP_WIDTH);

    m_exitButton = new QPushButton(tr("Exit"), m_content);
    m_exitButton->setDefault(true);
    connect(m_exitButton, &QPushButton::clicked, this, &COrvaneSystemDlg::OnOK);

    // Enter always means Exit, as with the template's only button: the two
    // extra buttons never become the default.
    auto* about = new QPushButton(tr("&About..."), m_content);
    about->setAutoDefault(false);
    connect(about, &QPushButton::clicked, this, &COrvaneSystemDlg::OnAboutBox);

    auto* help = new QPushButton(tr("&Help"), m_content);
    help->setAutoDefault(false);
    connect(help, &QPushButton::clicked, this, &COrvaneSystemDlg::WinHelp);

    footer->addWidget(m_exitButton, 1, column);
    footer->addWidget(about, 1, column + 1);
    footer->addWidget(help, 2, column);

    auto* content = new QVBoxLayout(m_content);
    content->addLayout(table, 1);
    content->addWidget(m_statusLine);
    content->addSpacing(units.Y(4));
    content->addLayout(footer);
    m_scroll->setWidget(m_content);

    // A control reached by the keyboard is scrolled into view, all of it (a
    // field's own rule would show no more than its text cursor).
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now != nullptr && m_content->isAncestorOf(now)) {
            const QRect rect(now->mapTo(m_content, QPoint(0, 0)), now->size());
            m_scroll->ensureVisible(rect.center().x(), rect.center().y(), rect.width() / 2 + 1,
                                    rect.height() / 2 + 1);
        }
    });

    m_clock = new QTimer(this);
    m_clock->setInterval(1000);
    connect(m_clock, &QTimer::timeout, this, &COrvaneSystemDlg::UpdateStatusLine);

    resize(m_designedSize);
}

void COrvaneSystemDlg::showEvent(QShowEvent* event) {
    FitToScreen();
    if (!m_screenWatched && windowHandle() != nullptr) {
        m_screenWatched = true;
        connect(windowHandle(), &QWindow::screenChanged, this, &COrvaneSystemDlg::FitToScreen);
    }
    QDialog::showEvent(event);
}

void COrvaneSystemDlg::FitToScreen() {
    const QScreen* display = screen();
    if (display == nullptr) {
        return;
    }
    // What the desktop's frame around the window takes; before the window has
    // one, the style's title bar stands in for it.
    QSize frame = frameGeometry().size() - geometry().size();
    if (frame.width() <= 0 && frame.height() <= 0) {
        frame = QSize(0, style()->pixelMetric(QStyle::PM_TitleBarHeight));
    }
    const QSize available = display->availableGeometry().size() - frame;
    const bool designedFits = m_designedSize.width() <= available.width() &&
                              m_designedSize.height() <= available.height();
    // Below the designed size the layout's own smallest size holds, with every
    // text whole; what the screen cannot hold of that is reached by scrolling.
    m_content->setMinimumSize(designedFits ? m_designedSize : QSize(0, 0));
    const QSize smallest = m_content->minimumSize().expandedTo(m_content->minimumSizeHint());
    setMinimumSize(smallest.boundedTo(available));
    resize(size().expandedTo(minimumSize()).boundedTo(available));
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
    // The window has no system menu on this desktop; its context menu stands in
    // for it: Help, then the About item after a separator, as the system menu
    // would have it. (A menu hides a separator that comes first.) F1 is Help's key.
    auto* helpAction = new QAction(tr("&Help"), this);
    helpAction->setObjectName(QStringLiteral("helpAction"));
    helpAction->setShortcut(QKeySequence(Qt::Key_F1));
    connect(helpAction, &QAction::triggered, this, &COrvaneSystemDlg::WinHelp);
    addAction(helpAction);
    const std::string aboutText = LoadResourceString(IDS_ABOUTBOX);
    if (!aboutText.empty()) {
        auto* separator = new QAction(this);
        separator->setSeparator(true);
        addAction(separator);
        auto* about = new QAction(QString::fromStdString(aboutText), this);
        about->setObjectName(QStringLiteral("aboutAction"));
        connect(about, &QAction::triggered, this, &COrvaneSystemDlg::OnAboutBox);
        addAction(about);
    }
    setContextMenuPolicy(Qt::ActionsContextMenu);

    setWindowIcon(m_hIcon);

    // Configuration errors are shown while the core is built, before the
    // dialog becomes visible.
    m_initialising = true;
    const MessageHandler tell = [this](const std::string& text) { Tell(text); };
    StationConfig config = ReadStationConfig(m_cmdLogInterval, m_cmdAlsPeriod, m_logFile, tell);
    CStationRun::Options options;
    options.refresh = [this] { RequestRefresh(); };
    options.messages = m_show;
    m_run = std::make_unique<CStationRun>(std::move(config), std::move(options));
    m_run->Extend(m_operations);
    m_run->Start();
    m_initialising = false;
    m_startTime = m_run->Core().GetStartTime();
    UpdateStatusLine();
    m_clock->start();

    if (m_exitDeferred) {
        // Runs from the dialog's own event loop, once it is up.
        QMetaObject::invokeMethod(this, &COrvaneSystemDlg::OnOK, Qt::QueuedConnection);
    }
    return true;
}

void COrvaneSystemDlg::Tell(const std::string& text) {
    if (m_initialising && m_exitDeferred) {
        PrintMessage(text);
    } else {
        m_show(text);
    }
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
    if (!m_run) {
        return;  // a request that arrived after Exit
    }
    const std::shared_ptr<const StationSnapshot> snapshot = m_run->Latest();
    if (!snapshot) {
        return;
    }
    std::vector<CardState> rows = snapshot->rows;
    if (rows.size() > static_cast<size_t>(MAX_CARDS)) {
        rows.resize(static_cast<size_t>(MAX_CARDS));
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto texts = StatusRowTexts(rows[i]);
        for (size_t c = 0; c < COLUMNS.size(); ++c) {
            Control(COLUMNS[c].firstControlId + static_cast<int>(i))
                ->setText(QString::fromStdString(texts[c]));
        }
        PaintStatus(Control(IDC_STATUS + static_cast<int>(i)), rows[i].status);
    }
    m_rows = std::move(rows);
    m_lastRefresh = static_cast<int64_t>(std::time(nullptr));
    UpdateStatusLine();
    Control(IDC_ALS_PERIOD)->setText(QString::fromStdString(FormatPeriod(snapshot->alsPeriod)));
    Control(IDC_LOG_INTERVAL)->setText(QString::fromStdString(FormatPeriod(snapshot->logInterval)));
    QLineEdit* watchList = Control(IDC_WATCH_LIST);
    watchList->setText(QString::fromStdString(FormatWatchList(snapshot->watchList)));
    watchList->setToolTip(watchList->text());  // a long list shows whole here
}

void COrvaneSystemDlg::UpdateStatusLine() {
    if (!m_run) {
        return;
    }
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    QString text = tr("Up %1    Samples taken: %2")
                       .arg(QString::fromStdString(FormatDuration(now - m_startTime)))
                       .arg(m_run->Core().GetSampleCount());
    if (m_lastRefresh != 0) {
        text +=
            tr("    Last refresh: %1").arg(QString::fromStdString(FormatLocalTime(m_lastRefresh)));
    }
    if (const std::shared_ptr<const StationSnapshot> snapshot = m_run->Latest();
        snapshot && !snapshot->recordTroubles.empty()) {
        text += "    " + QString::fromStdString(RecordTroublesText(snapshot->recordTroubles));
    }
    m_statusLine->setText(text);
}

QString COrvaneSystemDlg::RowToolTip(int row) const {
    if (row < 0 || static_cast<size_t>(row) >= m_rows.size()) {
        return {};
    }
    CardState state = m_rows[static_cast<size_t>(row)];
    if (state.statusSince == 0) {
        state.statusSince = m_startTime;  // unchanged since the station started
    }
    // Why the link was last lost, as the card library told it (nothing when it
    // told nothing, or the link never came up).
    std::optional<std::string> reason;
    const std::shared_ptr<const StationSnapshot> snapshot =
        m_run ? m_run->Latest() : std::shared_ptr<const StationSnapshot>();
    if (snapshot && static_cast<size_t>(row) < snapshot->counters.size()) {
        const std::string text =
            LinkNoteText(snapshot->counters[static_cast<size_t>(row)].lastLinkLoss);
        if (!text.empty()) {
            reason = text;
        }
    }
    return QString::fromStdString(
        StatusTooltipText(state, static_cast<int64_t>(std::time(nullptr)), reason));
}

bool COrvaneSystemDlg::eventFilter(QObject* watched, QEvent* event) {
    // Row tooltips are made when asked for, so the time in state is current.
    if (event->type() == QEvent::ToolTip) {
        const QVariant row = watched->property("cardRow");
        const QString text = row.isValid() ? RowToolTip(row.toInt()) : QString();
        if (!text.isEmpty()) {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text,
                               qobject_cast<QWidget*>(watched));
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QDialog::eventFilter(watched, event);
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
    // Moved out first, so a refresh call that runs meanwhile sees no run.
    std::unique_ptr<CStationRun> run = std::move(m_run);
    if (run) {
        run->Stop();
        run->End();
    }
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
    // Beside the program; an installed program finds it in the documentation
    // folder of its package instead.
    const QString name = QString::fromStdString(LoadResourceString(IDS_HELP_FILE));
    const QString programDir = QCoreApplication::applicationDirPath();
    QString path = programDir + QLatin1Char('/') + name;
    const QString installed =
        programDir + QStringLiteral("/" ORVANE_MANUAL_FROM_PROGRAM "/") + name;
    if (!QFileInfo::exists(path) && QFileInfo::exists(installed)) {
        path = QFileInfo(installed).canonicalFilePath();
    }
    if (!QFileInfo::exists(path)) {
        ShowHelpMessage(tr("The manual is not installed where the station looks for it:\n%1")
                            .arg(QDir::toNativeSeparators(path)));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        ShowHelpMessage(tr("No web browser could be started to show the manual. "
                           "Open this file with one:\n%1")
                            .arg(QDir::toNativeSeparators(path)));
    }
}

void COrvaneSystemDlg::ShowHelpMessage(const QString& text) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("OrvaneSystemDx"), text,
                    QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("helpMessage"));
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);  // the path can be copied
    box.exec();
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
