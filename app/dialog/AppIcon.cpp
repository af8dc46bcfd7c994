// The application icon, loaded from the resources compiled into the GUI library.
#include "app/dialog/AppIcon.h"

// The resource file lives in a static library, so its initialiser must be
// pulled in by name; Q_INIT_RESOURCE may only be used outside any namespace.
static void InitGuiResources() {
    Q_INIT_RESOURCE(orvane_gui);
}

QIcon AppIcon() {
    [[maybe_unused]] static const bool initialised = (InitGuiResources(), true);
    return QIcon(QStringLiteral(":/orvane/OrvaneSystemDx.png"));
}
