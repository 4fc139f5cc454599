#ifndef SHUTDOWNBLOCK_H
#define SHUTDOWNBLOCK_H

#include <QObject>

class QWidget;

// Tells the system, with a reason it shows the user, that the window blocks
// log-off and shutdown while any transfer runs (Windows); where the system
// asks no window (logind), the controller's lock does it and this does
// nothing. One source file per system. GUI thread.
class ShutdownBlock : public QObject
{
    Q_OBJECT

public:
    explicit ShutdownBlock(QWidget *window);

private:
    void follow(bool transferRunning);

    QWidget *window;
};

#endif // SHUTDOWNBLOCK_H
