#ifndef STARTUP_H
#define STARTUP_H

class QApplication;

// The tool's whole run on an existing application object: the window, the
// opening notice, then the event loop until the window closes. Returns the
// event loop's result, the process's exit code.
int runTool(QApplication &app);

#endif // STARTUP_H
