// The application object: reads the command line into the main dialog, shows
// the dialog modally and ends the program when it closes. It owns nothing that
// outlives InitInstance.
#pragma once

#include <QApplication>
#include <QString>
#include <string>

#include "app/program/ProgramArguments.h"

class CStopSignals;

struct DialogExtras {
    CStopSignals* stopSignals = nullptr;  // SIGINT/SIGTERM run Exit; may be nullptr
    QString screenshotFile;               // empty: no screenshot
    int screenshotAfterSeconds = 0;
    ProgramArguments arguments;  // the program's own switches, for the services
};

class COrvaneSystemApp : public QApplication {
    Q_OBJECT

public:
    COrvaneSystemApp(int& argc, char** argv);
    ~COrvaneSystemApp() override = default;

    // `commandLine` is the program path and its arguments joined by single
    // blanks, taken before Qt removed its own arguments. Returns false: the
    // program ends when it returns.
    bool InitInstance(const std::string& commandLine, const DialogExtras& extras);
    // 0, or 1 when the station could not start (its data folder is another's).
    int ExitStatus() const { return m_exitStatus; }

private:
    int m_exitStatus = 0;
};

// The whole program: the switches of ProgramArguments.h decide between the
// dialog, the console, --check-config, --help and --version. Returns the exit status.
int RunOrvaneSystem(int argc, char** argv);
