// The main dialog: its rows and footer, a card in session, every path to the Exit sequence,
// configuration messages and stop signals, its menu's About and Help, and the status colours and
// tooltips.
#include "app/dialog/MainDialog.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "AppTestSupport.h"
#include "app/dialog/AboutDlg.h"
#include "app/program/StopSignals.h"
#include "app/view/StatusPalette.h"
#include "config/Notifier.h"
#include "support/FakeVexlink.h"
#include "support/MessageRecorder.h"

// Stands in for the desktop's browser.
class CUrlCatcher : public QObject {
    Q_OBJECT

public:
    std::vector<QUrl> urls;

public slots:
    void Open(const QUrl& url) { urls.push_back(url); }
};

namespace {

using apptest::CardSection;
using apptest::CStationFolders;

constexpr int WAIT_MS = 30000;
constexpr int COLUMN_IDS[] = {IDC_NUMBER, IDC_MODE,   IDC_ADDRESS, IDC_DEVICE,
                              IDC_SERIAL, IDC_STATUS, IDC_MESID,   IDC_SERVICE};

class MainDialogTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "app_dialog_test";
        static char* argv[] = {name, nullptr};
        s_app = new QApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        delete s_app;
        s_app = nullptr;
    }
    void SetUp() override { CFakeVexlink::Get().Reset(); }
    void TearDown() override { CFakeVexlink::Get().Reset(); }

    // The row texts of the table, left to right in heading order.
    static std::vector<QString> Row(const COrvaneSystemDlg& dialog, int row) {
        std::vector<QString> texts;
        for (const int id : COLUMN_IDS) {
            texts.push_back(dialog.Control(id + row)->text());
        }
        return texts;
    }

    static bool WaitForStatus(const COrvaneSystemDlg& dialog, int row, const QString& status) {
        return QTest::qWaitFor([&] { return dialog.Control(IDC_STATUS + row)->text() == status; },
                               WAIT_MS);
    }

    // The fake library's object that connected to `host`; 0 when none did.
    static int InstanceOf(const std::string& host) {
        for (const std::string& line : CFakeVexlink::Get().Journal()) {
            const size_t at = line.find(" " + host + " ");
            if (line.starts_with("connect ") && at != std::string::npos) {
                return std::stoi(line.substr(8, at - 8));
            }
        }
        return 0;
    }

    static int CountJournal(const std::string& verb) {
        int count = 0;
        for (const std::string& line : CFakeVexlink::Get().Journal()) {
            count += line.starts_with(verb + " ") ? 1 : 0;
        }
        return count;
    }

    static QApplication* s_app;
    CStationFolders m_folders;
    CMessageRecorder m_messages;
};

QApplication* MainDialogTest::s_app = nullptr;

TEST_F(MainDialogTest, ThreeCardsFillTheFirstThreeRowsAndTheFooter) {
    m_folders.WriteConfig(CardSection("host-a", 4711, "sat-b", "corax") +
                          CardSection("192.0.2.7", 815, "sat-mini-m", "corax-e") +
                          CardSection("host-c", 99, "sat-c-tdm", "tarsa") +
                          "[watch]\nmesid = 111;\n[watch]\nmesid = 222;\n[watch]\nmesid = 333;\n"
                          "[log]\nperiod = 5;\n");
    CFakeVexlink::Get().SetAutoLinkUp(false);  // every card stays Not Connected

    COrvaneSystemDlg dialog;
    dialog.ApplyOption("A", "-5");  // not overridden: the file has no [als]
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(WaitForStatus(dialog, 2, "Not Connected"));

    using Texts = std::vector<QString>;
    EXPECT_EQ(Row(dialog, 0),
              (Texts{"1", "sat-b", "host-a", "corax", "4711", "Not Connected", "0", " "}));
    EXPECT_EQ(Row(dialog, 1),
              (Texts{"2", "sat-mini-m", "192.0.2.7", "corax-e", "815", "Not Connected", "0", " "}));
    EXPECT_EQ(Row(dialog, 2),
              (Texts{"3", "sat-c-tdm", "host-c", "tarsa", "99", "Not Connected", "0", " "}));
    for (int row = 3; row < 10; ++row) {
        EXPECT_EQ(Row(dialog, row), Texts(8)) << "row " << row + 1;
    }
    EXPECT_EQ(dialog.Control(IDC_ALS_PERIOD)->text(), "4294967291");
    EXPECT_EQ(dialog.Control(IDC_LOG_INTERVAL)->text(), "5");
    EXPECT_EQ(dialog.Control(IDC_WATCH_LIST)->text(), "111, 222, 333");
    for (const int id : COLUMN_IDS) {
        EXPECT_TRUE(dialog.Control(id)->isReadOnly());
    }
    dialog.OnOK();
}

TEST_F(MainDialogTest, ACardInSessionShowsBusySessionItsMesIdAndService) {
    m_folders.WriteConfig(CardSection("host-s", 4711, "sat-m", "corax-e"));
    COrvaneSystemDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(WaitForStatus(dialog, 0, "Host Connected"));
    EXPECT_EQ(dialog.Control(IDC_WATCH_LIST)->text(), "");  // empty list: empty field
    const int instance = InstanceOf("host-s");
    ASSERT_GT(instance, 0);

    CFakeVexlink::Get().FireMessage(
        instance,
        "<Message version=\"1.0\"><Data><Text>MODE: M SERV:DATA EVNT:srt MES_ID:12345678 "
        "TX_CHA_ID:3;</Text></Data></Message>");
    ASSERT_TRUE(WaitForStatus(dialog, 0, "Busy Session"));
    EXPECT_EQ(dialog.Control(IDC_MESID)->text(), "12345678");
    EXPECT_EQ(dialog.Control(IDC_SERVICE)->text(), "Data");

    CFakeVexlink::Get().FireMessage(
        instance,
        "<Message version=\"1.0\"><Data><Text>MODE: M SERV:DATA EVNT:end;</Text>"
        "</Data></Message>");
    ASSERT_TRUE(WaitForStatus(dialog, 0, "Mode Running"));
    EXPECT_EQ(dialog.Control(IDC_MESID)->text(), "0");
    EXPECT_EQ(dialog.Control(IDC_SERVICE)->text(), " ");
    dialog.OnOK();
}

enum class ExitPath { ExitButton, EnterKey, EscapeKey, CloseBox, StopSignal };

const char* NameOf(ExitPath path) {
    switch (path) {
        case ExitPath::ExitButton:
            return "ExitButton";
        case ExitPath::EnterKey:
            return "EnterKey";
        case ExitPath::EscapeKey:
            return "EscapeKey";
        case ExitPath::CloseBox:
            return "CloseBox";
        case ExitPath::StopSignal:
            return "StopSignal";
    }
    return "?";
}

void PrintTo(ExitPath path, std::ostream* out) {
    *out << NameOf(path);
}

class MainDialogExitTest : public MainDialogTest, public testing::WithParamInterface<ExitPath> {};

TEST_P(MainDialogExitTest, RunsTheExitSequence) {
    m_folders.WriteConfig(CardSection("host-x", 4711, "sat-b", "corax") + "[log]\nperiod = 4;\n");
    CStopSignals stop;
    COrvaneSystemDlg dialog;
    dialog.WatchStopSignals(&stop);
    dialog.OnInitDialog();
    dialog.show();
    // Host Connected comes after the first Tick, which took the first sample.
    ASSERT_TRUE(WaitForStatus(dialog, 0, "Host Connected"));
    ASSERT_TRUE(dialog.HasCore());

    QLineEdit* focus = dialog.Control(IDC_ADDRESS);
    switch (GetParam()) {
        case ExitPath::ExitButton:
            QTest::mouseClick(dialog.ExitButton(), Qt::LeftButton);
            break;
        case ExitPath::EnterKey:
            // The read-only field passes Enter on to the dialog's default button.
            QTest::keyClick(focus, Qt::Key_Return);
            break;
        case ExitPath::EscapeKey:
            QTest::keyClick(focus, Qt::Key_Escape);
            break;
        case ExitPath::CloseBox:
            dialog.close();
            break;
        case ExitPath::StopSignal:
            ASSERT_EQ(raise(SIGTERM), 0);
            break;
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.HasCore(); }, WAIT_MS));
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(m_folders.StatFiles().size(), 1u);
    EXPECT_EQ(CountJournal("disconnect"), 1);
    EXPECT_EQ(CountJournal("release"), 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, MainDialogExitTest,
                         testing::Values(ExitPath::ExitButton, ExitPath::EnterKey,
                                         ExitPath::EscapeKey, ExitPath::CloseBox,
                                         ExitPath::StopSignal),
                         [](const testing::TestParamInfo<ExitPath>& param) {
                             return std::string(NameOf(param.param));
                         });

TEST_F(MainDialogTest, ShowsConfigurationMessagesBeforeTheDialogAppears) {
    m_folders.WriteConfig(
        "[als]\nperiod = -5;\n[card_1]\naddress = h;\nserialno = 0;\n"
        "mode = sat-b;\ndevice = corax;\n");
    COrvaneSystemDlg dialog;
    std::vector<std::pair<std::string, bool>> shown;  // text, dialog visible at the time
    const MessageHandler previous = InstallMessageHandler(
        [&](const std::string& text) { shown.emplace_back(text, dialog.isVisible()); });
    bool sawTable = false;
    QTimer::singleShot(0, &dialog, [&] {
        sawTable = dialog.isVisible();
        dialog.close();
    });
    const int result = dialog.DoModal();
    InstallMessageHandler(previous);

    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_TRUE(sawTable);
    const std::vector<std::pair<std::string, bool>> expected = {
        {"Invalid ALS period: -5!", false}, {"card_1: Invalid serial number!", false}};
    EXPECT_EQ(shown, expected);
}

TEST_F(MainDialogTest, StopSignalWhileAConfigurationMessageIsUpEndsTheDialogOnceItRuns) {
    m_folders.WriteConfig("[als]\nperiod = -5;\n" + CardSection("host-y", 4711, "sat-b", "corax"));
    CFakeVexlink::Get().SetAutoLinkUp(false);
    CStopSignals stop;
    COrvaneSystemDlg dialog;
    dialog.WatchStopSignals(&stop);
    // A message box runs its own event loop while it is up: the signal is
    // taken there, while the core is still being built.
    int shown = 0;
    const MessageHandler previous = InstallMessageHandler([&shown](const std::string&) {
        ++shown;
        raise(SIGTERM);
        QTest::qWait(300);
    });
    // Should the dialog stay up for good, this ends it so that the test fails
    // instead of hanging.
    bool rescued = false;
    QTimer::singleShot(WAIT_MS, &dialog, [&] {
        rescued = true;
        dialog.QDialog::done(QDialog::Rejected);
    });
    const int result = dialog.DoModal();
    InstallMessageHandler(previous);

    EXPECT_EQ(shown, 1);
    EXPECT_FALSE(rescued) << "the dialog stayed up after the stop signal";
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_FALSE(dialog.HasCore());
    EXPECT_EQ(CountJournal("release"), 1);
}

TEST_F(MainDialogTest, OffersTheAboutBoxAfterASeparatorInItsMenu) {
    m_folders.WriteConfig("");
    COrvaneSystemDlg dialog;
    dialog.OnInitDialog();
    const QList<QAction*> actions = dialog.actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    QAction* about = actions.back();
    EXPECT_EQ(about->text(), "&About OrvaneSystem...");
    EXPECT_EQ(dialog.contextMenuPolicy(), Qt::ActionsContextMenu);

    QString aboutText;
    bool closedByOk = false;
    QTimer::singleShot(0, &dialog, [&] {
        auto* box = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        aboutText = box->findChild<QLabel*>("aboutText")->text();
        QPushButton* ok = box->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        if (ok != nullptr) {
            ok->click();
            closedByOk = true;
        }
    });
    dialog.show();
    about->trigger();  // returns when the box is closed
    EXPECT_TRUE(closedByOk);
    EXPECT_TRUE(aboutText.contains("Version 2.0.0")) << aboutText.toStdString();
    EXPECT_TRUE(aboutText.contains("corax, corax-e and tarsa")) << aboutText.toStdString();
    dialog.OnOK();
}

TEST_F(MainDialogTest, HelpOpensTheManualBesideTheProgram) {
    m_folders.WriteConfig("");
    CUrlCatcher browser;
    QDesktopServices::setUrlHandler("file", &browser, "Open");
    COrvaneSystemDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));

    QTest::keyClick(dialog.Control(IDC_NUMBER), Qt::Key_F1);
    QPushButton* help = nullptr;
    for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
        if (button->text() == "&Help") {
            help = button;
        }
    }
    ASSERT_NE(help, nullptr);
    QTest::mouseClick(help, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler("file");

    ASSERT_EQ(browser.urls.size(), 2u);
    for (const QUrl& url : browser.urls) {
        EXPECT_EQ(url.toLocalFile(),
                  QCoreApplication::applicationDirPath() + "/QUENTAR_OrvaneDx.html");
    }
    EXPECT_TRUE(dialog.HasCore()) << "help must not end the dialog";
    dialog.OnOK();
}

// The colour a field is drawn with, right of its text.
QColor PaintedBackground(QLineEdit* field) {
    const QImage image = field->grab().toImage();
    return image.pixelColor(image.width() - 5, image.height() / 2);
}

TEST_F(MainDialogTest, ColoursEachOpStatusKeepingItsTextAndTellsTheTimeInState) {
    const std::string traffic = "<Message version=\"1.0\"><Data><Text>MODE: M SERV:DATA EVNT:";
    m_folders.WriteConfig(CardSection("host-a", 4711, "sat-m", "corax") +
                          CardSection("host-b", 4712, "sat-m", "corax") +
                          CardSection("host-c", 4713, "sat-m", "corax") +
                          CardSection("host-d", 4714, "sat-m", "corax") + "[log]\nperiod = 4;\n");
    CFakeVexlink::Get().SetUnreachableHost("host-b", true);
    COrvaneSystemDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(WaitForStatus(dialog, 3, "Host Connected"));
    CFakeVexlink::Get().FireMessage(
        InstanceOf("host-c"), traffic + "srt MES_ID:12345678 TX_CHA_ID:3;</Text></Data></Message>");
    CFakeVexlink::Get().FireMessage(
        InstanceOf("host-d"), traffic + "srt MES_ID:12345679 TX_CHA_ID:3;</Text></Data></Message>");
    ASSERT_TRUE(WaitForStatus(dialog, 3, "Busy Session"));
    CFakeVexlink::Get().FireMessage(InstanceOf("host-d"), traffic + "end;</Text></Data></Message>");
    ASSERT_TRUE(WaitForStatus(dialog, 3, "Mode Running"));
    ASSERT_TRUE(WaitForStatus(dialog, 2, "Busy Session"));

    const std::vector<std::pair<QString, CardOpStatus>> rows = {
        {"Host Connected", STATUS_HOST_CONNECTED},
        {"Not Connected", STATUS_NOT_CONNECTED},
        {"Busy Session", STATUS_BUSY_SESSION},
        {"Mode Running", STATUS_MODE_RUNNING}};
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        QLineEdit* field = dialog.Control(IDC_STATUS + row);
        const StatusColours colours = *StatusColoursOf(rows[static_cast<size_t>(row)].second);
        EXPECT_EQ(field->text(), rows[static_cast<size_t>(row)].first);
        EXPECT_EQ(PaintedBackground(field), QColor::fromRgb(colours.background))
            << field->text().toStdString();
        EXPECT_EQ(field->palette().color(QPalette::Text), QColor::fromRgb(colours.text));
        EXPECT_EQ(field->font().bold(), colours.bold);
    }
    // Other fields and rows without a card keep the toolkit's colours.
    const QColor plain = PaintedBackground(dialog.Control(IDC_STATUS + 5));
    EXPECT_EQ(PaintedBackground(dialog.Control(IDC_MESID)), plain);
    EXPECT_NE(plain, QColor::fromRgb(STATUS_COLOURS[0].background));

    // Each row tells how long its card has been in its state; the status line
    // counts the uptime and the samples.
    EXPECT_TRUE(dialog.RowToolTip(1).startsWith("Not Connected for "))
        << dialog.RowToolTip(1).toStdString();
    // The card library told why the unreachable host's card has no link.
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.RowToolTip(1).contains("refused"); }, WAIT_MS))
        << dialog.RowToolTip(1).toStdString();
    EXPECT_TRUE(dialog.RowToolTip(3).startsWith("Mode Running for "))
        << dialog.RowToolTip(3).toStdString();
    EXPECT_TRUE(dialog.RowToolTip(3).contains(", since ")) << dialog.RowToolTip(3).toStdString();
    EXPECT_EQ(dialog.RowToolTip(4), "");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return dialog.StatusLine()->text().contains("Samples taken: 1"); }, WAIT_MS))
        << dialog.StatusLine()->text().toStdString();
    EXPECT_TRUE(dialog.StatusLine()->text().startsWith("Up "))
        << dialog.StatusLine()->text().toStdString();
    EXPECT_TRUE(dialog.StatusLine()->text().contains("Last refresh: "));
    dialog.OnOK();
}

TEST_F(MainDialogTest, ItsMenuShowsTheSeparatorBeforeAbout) {
    m_folders.WriteConfig("");
    COrvaneSystemDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    // The menu the right mouse button opens, built as the toolkit builds it.
    QMenu menu;
    menu.addActions(dialog.actions());
    menu.popup(dialog.mapToGlobal(QPoint(10, 10)));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu));
    const QList<QAction*> actions = menu.actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), "&Help");
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_GT(menu.actionGeometry(actions[1]).height(), 0) << "the separator is drawn";
    EXPECT_EQ(actions[2]->text(), "&About OrvaneSystem...");
    menu.close();
    dialog.OnOK();
}

TEST_F(MainDialogTest, HelpWithoutABrowserNamesTheManual) {
    m_folders.WriteConfig("");
    COrvaneSystemDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    // The offscreen platform starts no browser: opening the manual fails.
    QString shown;
    QTimer::singleShot(0, &dialog, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != nullptr) {
            shown = box->text();
            box->accept();
        }
    });
    dialog.WinHelp();  // returns when the box is closed
    EXPECT_TRUE(shown.contains(QCoreApplication::applicationDirPath() + "/QUENTAR_OrvaneDx.html"))
        << shown.toStdString();
    EXPECT_TRUE(dialog.HasCore());
    dialog.OnOK();
}

}  // namespace

#include "MainDialogTest.moc"
