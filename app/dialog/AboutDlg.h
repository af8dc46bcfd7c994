// The About box: the application icon, a line naming the system, its device
// models and its version, and an OK button.
#pragma once

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override = default;

    // "OrvaneSystemDx for corax, corax-e and tarsa, Version 2.0.0"
    static QString AboutText();
};
