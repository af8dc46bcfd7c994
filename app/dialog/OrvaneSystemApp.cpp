// The dialog program: the application object and its message boxes, and RunOrvaneSystem, which
// opens the dialog and hands every other mode to StationProgram.cpp.
#include "app/dialog/OrvaneSystemApp.h"

#include <QMessageBox>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/dialog/AppIcon.h"
#include "app/dialog/MainDialog.h"
#include "app/program/CommandLine.h"
#include "app/program/ProgramArguments.h"
#include "app/program/StationProgram.h"
#include "app/program/StopSignals.h"
#include "app/run/Operations.h"
#include "app/run/RemoteModuleLoader.h"
#include "config/Folders.h"
#include "config/Notifier.h"

namespace {

constexpr const char* MESSAGE_TITLE = "OrvaneSystemDx";

// Message boxes for configuration and statistics problems. They are raised on
// the GUI thread while the core is built or destroyed; a message from any other
// thread (none is expected) goes to standard error rather than block it.
void ShowMessageBox(const std::string& text) {
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return;
    }
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(MESSAGE_TITLE),
                    QString::fromLocal8Bit(text.c_str()), QMessageBox::Ok);
    box.setWindowIcon(AppIcon());
    box.exec();
}

// Without a display the toolkit would abort with a message about platform
// plugins; the user is better told what to do instead.
bool DisplayAvailable(int argc, char** argv) {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && value[0] != '\0') {
            return true;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "-platform") {
            return true;
        }
    }
    return false;
}

}  // namespace

COrvaneSystemApp::COrvaneSystemApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QString::fromUtf8(MESSAGE_TITLE));
    setApplicationVersion(QStringLiteral(ORVANE_VERSION));
    setWindowIcon(AppIcon());
}

bool COrvaneSystemApp::InitInstance(const std::string& commandLine, const DialogExtras& extras) {
    // The operations' messages go to the dialog while there is one, so that
    // they follow its rules, and to message boxes before and after it.
    COrvaneSystemDlg* shownBy = nullptr;
    COperations operations([&shownBy](const std::string& text) {
        if (shownBy != nullptr) {
            shownBy->Tell(text);
        } else {
            ShowMessageBox(text);
        }
    });
    std::string error;
    if ((!extras.arguments.logFile.empty() && !CheckLogFile(extras.arguments.logFile, error)) ||
        !operations.Prepare(GetDataFolder(), error) ||
        !AddRemoteObservers(extras.arguments, operations, error)) {
        ShowMessageBox(error);
        m_exitStatus = 1;
        return false;
    }
    {
        COrvaneSystemDlg dialog;
        dialog.SetMessages(ShowMessageBox);
        dialog.SetOperations(&operations);
        dialog.SetLogFile(extras.arguments.logFile);
        ReadCommandLineOptions(commandLine,
                               [&dialog](const std::string& key, const std::string& value) {
                                   dialog.ApplyOption(key, value);
                               });
        dialog.WatchStopSignals(extras.stopSignals);
        if (!extras.screenshotFile.isEmpty()) {
            dialog.ScheduleScreenshot(extras.screenshotFile, extras.screenshotAfterSeconds);
        }
        shownBy = &dialog;
        dialog.DoModal();
        shownBy = nullptr;
    }
    return false;
}

int RunOrvaneSystem(int argc, char** argv) {
    // The command line as the platform gives it, before Qt takes its own arguments out.
    const std::string commandLine = JoinCommandLine(argc, argv);
    const ProgramArguments arguments = ParseProgramArguments(argc, argv);
    const std::string programName = argc > 0 ? argv[0] : "OrvaneSystemDx";

    // Beyond a file size limit a write must fail as on a full disk, so that the
    // statistics file is reported and cleaned up, rather than end the program.
    std::signal(SIGXFSZ, SIG_IGN);

    if (arguments.mode != ProgramMode::Dialog) {
        return RunWithoutWindow(arguments, commandLine, programName);
    }

    if (!DisplayAvailable(argc, argv)) {
        std::fprintf(stderr,
                     "%s: no display to open the window on (DISPLAY is not set); "
                     "use --console to run without a window\n",
                     programName.c_str());
        return 1;
    }
    CStopSignals stop;
    COrvaneSystemApp app(argc, argv);
    DialogExtras extras;
    extras.stopSignals = &stop;
    extras.arguments = arguments;
    extras.screenshotFile = QString::fromLocal8Bit(arguments.screenshotFile.c_str());
    extras.screenshotAfterSeconds = arguments.screenshotAfterSeconds;
    app.InitInstance(commandLine, extras);
    return app.ExitStatus();
}
