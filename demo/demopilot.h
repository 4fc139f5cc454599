#ifndef DEMOPILOT_H
#define DEMOPILOT_H

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

QT_BEGIN_NAMESPACE
class QMessageBox;
class QWidget;
QT_END_NAMESPACE

// Plays the user in the unattended demo: it reads the tool's window and
// boxes from the outside, as a person would, prints what they show, saves
// screenshots, dismisses each box after a pause, presses the update button
// once the versions are shown, and closes the window after the update.
// GUI thread; it only looks at widgets, never at the tool's internals.
class DemoPilot : public QObject
{
    Q_OBJECT

public:
    explicit DemoPilot(const QString &screenshotDir, QObject *parent = nullptr);

    // 0 after a whole update, otherwise what went wrong, as an exit code.
    int outcome() const { return failure; }

private:
    void say(const QString &line);
    void look();
    void lookAtBox(QMessageBox *box);
    void lookAtWindow(QWidget *window);
    void reportLabels(QWidget *window);
    void screenshot(QWidget *widget, const QString &name);
    void finish(int exitCode, const QString &message);

    QString screenshotDir;
    QTimer pollTimer;
    QElapsedTimer sinceStart;
    QElapsedTimer pause;

    QPointer<QMessageBox> currentBox;
    QString lastStatus;
    QString lastServerVersion;
    QString lastDeviceVersion;
    int lastProgressDecade = -1;
    bool lastButtonEnabled = false;
    bool versionsShown = false;
    bool buttonPressed = false;
    bool midUpdateTaken = false;
    bool updateFinished = false;
    bool checkFailed = false;
    int failure = 0;
};

#endif // DEMOPILOT_H
