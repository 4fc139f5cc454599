#include "startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Wayland shells find the window's menu entry, and so its icon, by this
    // name; it is the id of the installed .desktop file.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.example.ql7420.fwupdate"));
    return runTool(app);
}
