#ifndef SYSTEMHOLD_H
#define SYSTEMHOLD_H

#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>

// Keeps the computer up while transfers run: a device whose transfer stops
// half-way is left with half an image. The first transfer to start asks the
// system, the last one to end gives the hold back, so that several devices
// updated at once ask once. One source file per system says what it holds
// off:
// - Linux: a logind inhibitor lock in "block" mode on sleep, shutdown, the
//   idle action and the lid switch (without the lid switch where polkit
//   denies it, which denies the whole lock); for a program with a window,
//   the desktop portal's inhibition of log-out, user switching, suspend and
//   idle as well, which is what stops the desktop's own Suspend and Log Out
//   (logind before systemd 257 lets a user's own session ignore that user's
//   block lock).
//   Root forcing the matter, a power cut and a flat battery are not held off.
// - Windows: sleep on the idle timer (the thread's execution state), and the
//   end of the session, refused through the front end's visible window, or
//   for the command line through a hidden window of the hold's own, which
//   Windows may end regardless. A sleep that the user asks for (lid, power
//   button, Start > Sleep) is not held off.
// Holding never fails a transfer: a refusal is reported, and the transfer
// goes on without the hold. GUI thread; no call here waits on the system.
class SystemHold : public QObject
{
    Q_OBJECT

public:
    // The system's handle on the front end's visible window (a Windows HWND,
    // an X11 window's XID), asked for only when a transfer starts, by which
    // time the window exists.
    using NativeWindow = std::function<quintptr()>;

    explicit SystemHold(QObject *parent = nullptr);
    ~SystemHold() override;

    // The window that the session's end is refused through, given by a front
    // end that has one; on Linux such a program asks the desktop too. The
    // command line gives none.
    void setWindow(const NativeWindow &handle);
    // Why the session should not end, in the user's language, where the
    // system shows it (Windows' shutdown screen, the desktop's log-out
    // dialog).
    void setReason(const QString &text);

    // Each transfer counts once, however often it says so; the hold lasts
    // from the first one's start to the last one's end.
    void transferStarted(const QObject *transfer);
    void transferEnded(const QObject *transfer);
    bool transfersRunning() const { return !transfers.isEmpty(); }

signals:
    void transfersRunningChanged(bool running);
    // A system or the desktop did not grant its part, or there was none to
    // ask, in its own words; the transfers go on without that part.
    void refused(QString reason);

private:
    struct Native;

    void holdSystem();
    void releaseSystem();
    void refuse(const QString &why);

    QSet<const QObject *> transfers;
    NativeWindow window;
    QString reason;
    std::unique_ptr<Native> native;
};

#endif // SYSTEMHOLD_H
