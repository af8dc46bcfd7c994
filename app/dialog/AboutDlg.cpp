// The About box: the icon, the system's name with its device models and version, and OK.
#include "app/dialog/AboutDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/dialog/AppIcon.h"
#include "resources/OrvaneTypes.h"
#include "resources/StringTable.h"

#ifndef ORVANE_VERSION
#error "ORVANE_VERSION must be defined by the build"
#endif

namespace {

constexpr int ICON_SIZE = 32;

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("About OrvaneSystem"));
    setWindowIcon(AppIcon());

    auto* icon = new QLabel(this);
    icon->setPixmap(AppIcon().pixmap(ICON_SIZE, ICON_SIZE));
    auto* text = new QLabel(AboutText(), this);
    text->setObjectName("aboutText");

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addWidget(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
    setLayout(layout);
}

QString CAboutDlg::AboutText() {
    QString models;
    for (int32_t device = 0; device < DEVICE_MODEL_COUNT; ++device) {
        if (device > 0) {
            models += device + 1 < DEVICE_MODEL_COUNT ? ", " : " and ";
        }
        models += QString::fromStdString(LoadResourceString(IDS_DEVICE_BASE + device));
    }
    return QStringLiteral("OrvaneSystemDx for %1, Version %2").arg(models, ORVANE_VERSION);
}
