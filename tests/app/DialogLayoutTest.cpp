// The dialog's layout without a display server: Qt's offscreen platform with
// three screens, the size of a 1280 x 800 screen at 100%, 150% and 200% in the
// dialog's own pixels (scaling leaves the layout's pixels as they are and
// shrinks the screen instead).
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTest>
#include <string>
#include <vector>

#include "app/dialog/MainDialog.h"
#include "app/view/StatusTable.h"
#include "resources/OrvaneTypes.h"
#include "resources/StringTable.h"

namespace {

constexpr int HEADING_COUNT = static_cast<int>(STATUS_COLUMN_COUNT);

class DialogLayoutTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string config =
            testing::TempDir() + "orvane_screens_" + std::to_string(getpid()) + ".json";
        QFile file(QString::fromStdString(config));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(R"({"screens": [
            {"name": "at100", "x": 0, "y": 0, "width": 1280, "height": 800, "logicalDpi": 96},
            {"name": "at150", "x": 1280, "y": 0, "width": 853, "height": 533, "logicalDpi": 96},
            {"name": "at200", "x": 2133, "y": 0, "width": 640, "height": 400, "logicalDpi": 96}
        ]})");
        file.close();
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + config.c_str());
        static int argc = 1;
        static char name[] = "app_dialog_layout_test";
        static char* argv[] = {name, nullptr};
        s_app = new QApplication(argc, argv);
        QFile::remove(QString::fromStdString(config));  // read while the application started
    }
    static void TearDownTestSuite() {
        delete s_app;
        s_app = nullptr;
    }

    static QScreen* Screen(const char* name) {
        for (QScreen* screen : QGuiApplication::screens()) {
            if (screen->name() == QLatin1String(name)) {
                return screen;
            }
        }
        return nullptr;
    }

    // Shows `dialog` on the screen named `name`.
    static void ShowOn(COrvaneSystemDlg& dialog, const char* name) {
        QScreen* screen = Screen(name);
        ASSERT_NE(screen, nullptr) << name;
        dialog.setScreen(screen);
        dialog.move(screen->availableGeometry().topLeft());
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        QApplication::processEvents();
    }

    // Every field and button of the dialog.
    static std::vector<QWidget*> Controls(const COrvaneSystemDlg& dialog) {
        std::vector<QWidget*> controls;
        for (QLineEdit* field : dialog.findChildren<QLineEdit*>()) {
            controls.push_back(field);
        }
        for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
            controls.push_back(button);
        }
        return controls;
    }

    static bool InView(const COrvaneSystemDlg& dialog, const QWidget* control) {
        const QWidget* viewport = dialog.ScrollArea()->viewport();
        const QRect rect(control->mapTo(viewport, QPoint(0, 0)), control->size());
        return viewport->rect().contains(rect);
    }

    // The width QLineEdit gives its text, as its painting computes it.
    static int TextRoom(const QLineEdit* field) {
        QStyleOptionFrame option;
        option.initFrom(field);
        option.rect = field->rect();
        option.lineWidth =
            field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, field);
        option.features = QStyleOptionFrame::None;
        const QRect contents =
            field->style()->subElementRect(QStyle::SE_LineEditContents, &option, field);
        return contents.width() - 2 * 2;  // QLineEdit's own margin on each side
    }

    static QApplication* s_app;
};

QApplication* DialogLayoutTest::s_app = nullptr;

TEST_F(DialogLayoutTest, TheDesignedSizeIsTheSmallestOnAScreenThatHoldsIt) {
    COrvaneSystemDlg dialog;
    ShowOn(dialog, "at100");
    const QSize designed = dialog.DesignedSize();
    EXPECT_GT(designed.width(), 0);
    EXPECT_EQ(dialog.minimumSize(), designed);
    EXPECT_EQ(dialog.size(), designed);
    EXPECT_FALSE(dialog.ScrollArea()->horizontalScrollBar()->isVisible());
    EXPECT_FALSE(dialog.ScrollArea()->verticalScrollBar()->isVisible());

    // It grows with the window: the address and the watch list take most.
    const int addressBefore = dialog.Control(IDC_ADDRESS)->width();
    const int numberBefore = dialog.Control(IDC_NUMBER)->width();
    const int lastRowBefore = dialog.Control(IDC_STATUS + 9)->y();
    dialog.resize(designed + QSize(300, 200));
    QApplication::processEvents();
    EXPECT_GT(dialog.Control(IDC_ADDRESS)->width() - addressBefore,
              dialog.Control(IDC_NUMBER)->width() - numberBefore);
    EXPECT_GT(dialog.Control(IDC_STATUS + 9)->y(), lastRowBefore);  // the rows spread down
    for (QWidget* control : Controls(dialog)) {
        EXPECT_TRUE(InView(dialog, control)) << control->objectName().toStdString();
    }
}

TEST_F(DialogLayoutTest, At150PercentEveryControlIsOnTheScreenWithoutScrolling) {
    COrvaneSystemDlg dialog;
    ShowOn(dialog, "at150");
    const QRect available = Screen("at150")->availableGeometry();
    EXPECT_LE(dialog.frameGeometry().width(), available.width());
    EXPECT_LE(dialog.frameGeometry().height(), available.height());
    EXPECT_FALSE(dialog.ScrollArea()->horizontalScrollBar()->isVisible());
    EXPECT_FALSE(dialog.ScrollArea()->verticalScrollBar()->isVisible());
    for (QWidget* control : Controls(dialog)) {
        EXPECT_TRUE(InView(dialog, control)) << control->objectName().toStdString();
    }
}

TEST_F(DialogLayoutTest, At200PercentEveryControlCanBeScrolledIntoView) {
    COrvaneSystemDlg dialog;
    ShowOn(dialog, "at200");
    const QRect available = Screen("at200")->availableGeometry();
    EXPECT_LE(dialog.frameGeometry().width(), available.width());
    EXPECT_LE(dialog.frameGeometry().height(), available.height());
    EXPECT_TRUE(dialog.ScrollArea()->horizontalScrollBar()->isVisible() ||
                dialog.ScrollArea()->verticalScrollBar()->isVisible());
    // The scroll range reaches every control, whole.
    for (QWidget* control : Controls(dialog)) {
        const QRect rect(control->mapTo(dialog.ScrollArea()->widget(), QPoint(0, 0)),
                         control->size());
        dialog.ScrollArea()->ensureVisible(rect.center().x(), rect.center().y(),
                                           rect.width() / 2 + 1, rect.height() / 2 + 1);
        QApplication::processEvents();
        EXPECT_TRUE(InView(dialog, control)) << control->objectName().toStdString();
    }
    // Keyboard focus scrolls too: the last field of the table, then Exit.
    QApplication::setActiveWindow(&dialog);
    for (QWidget* control : {static_cast<QWidget*>(dialog.Control(IDC_SERVICE + 9)),
                             static_cast<QWidget*>(dialog.ExitButton())}) {
        dialog.ScrollArea()->ensureVisible(0, 0);
        control->setFocus();
        QApplication::processEvents();
        EXPECT_TRUE(InView(dialog, control)) << control->objectName().toStdString();
    }
}

TEST_F(DialogLayoutTest, HeadingsStandApartInTheirOrderAtTheTop) {
    COrvaneSystemDlg dialog;
    ShowOn(dialog, "at150");  // the tightest layout without scrolling
    int previousRight = -1;
    for (int c = 0; c < HEADING_COUNT; ++c) {
        const auto* heading = dialog.findChild<QLabel*>(QStringLiteral("heading%1").arg(c));
        ASSERT_NE(heading, nullptr);
        EXPECT_EQ(heading->text().toStdString(), STATUS_COLUMN_HEADINGS[static_cast<size_t>(c)]);
        EXPECT_GE(heading->width(), heading->sizeHint().width()) << heading->text().toStdString();
        EXPECT_GT(heading->x(), previousRight) << heading->text().toStdString();
        previousRight = heading->x() + heading->width() - 1;
        // No band above the headings: they sit in the top margin's reach.
        EXPECT_LT(heading->mapTo(&dialog, QPoint(0, 0)).y(), dialog.Control(IDC_NUMBER)->height());
    }
}

TEST_F(DialogLayoutTest, EveryTextAFieldCanHoldFitsWhole) {
    COrvaneSystemDlg dialog;
    ShowOn(dialog, "at150");
    struct Column {
        int id;
        int base;
        int count;
    };
    const Column columns[] = {{IDC_STATUS, IDS_STATUS_BASE, STATUS_BUSY_SESSION + 1},
                              {IDC_MODE, IDS_MODE_BASE, SAT_MODE_COUNT},
                              {IDC_DEVICE, IDS_DEVICE_BASE, DEVICE_MODEL_COUNT},
                              {IDC_SERVICE, IDS_SERVICE_BASE, SERVICE_TYPE_COUNT}};
    for (const Column& column : columns) {
        const QLineEdit* field = dialog.Control(column.id);
        QFont bold = field->font();
        bold.setBold(true);  // Not Connected is shown in bold
        for (int index = 0; index < column.count; ++index) {
            const QString text = QString::fromStdString(LoadResourceString(column.base + index));
            EXPECT_LE(QFontMetrics(bold).horizontalAdvance(text), TextRoom(field))
                << text.toStdString();
        }
    }
    for (const int id : {IDC_SERIAL, IDC_MESID}) {
        EXPECT_LE(dialog.fontMetrics().horizontalAdvance("2147483647"),
                  TextRoom(dialog.Control(id)));
    }
    for (const int id : {IDC_ALS_PERIOD, IDC_LOG_INTERVAL}) {
        EXPECT_LE(dialog.fontMetrics().horizontalAdvance("4294967291"),
                  TextRoom(dialog.Control(id)));
    }
}

}  // namespace
