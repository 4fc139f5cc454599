#ifndef STARTUP_H
#define STARTUP_H

#include "dialog.h"

class QApplication;

// The tool's whole run on an existing application object: the window, the
// opening notice, then the event loop until the window closes. Returns the
// event loop's result, the process's exit code. The seams go to the window.
int runTool(QApplication &app, const Dialog::Seams &seams = {});

#endif // STARTUP_H
