// The application icon (icon resource 128 of the original station), built
// into the GUI library.
#pragma once

#include <QIcon>

QIcon AppIcon();
