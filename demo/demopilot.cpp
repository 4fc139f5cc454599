#include "demopilot.h"

#include "packets.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <cstdio>

namespace {

// Long enough for a person watching the demo to read each box and window.
constexpr int PauseMs = 2000;
constexpr int PollMs = 100;
// A whole update takes well under a minute; much longer means it is stuck.
constexpr int DeadlineMs = 180000;

const QString ServerFailureTitle = QStringLiteral("FWアップデートツール");
const QString OpeningNoticeStart = QStringLiteral("FW更新時");
const QString FinishedText = QStringLiteral("FWが更新されました。");
const QString LatestVersionPrefix = QStringLiteral("最新のFWバージョン : ");
const QString CurrentVersionPrefix = QString::fromUtf8(Packets::VersionLinePrefix);
const QString ProgressPrefix = QStringLiteral("更新... ");

QWidget *toolWindow()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (window->objectName() == QLatin1String("Dialog") && window->isVisible())
            return window;
    }
    return nullptr;
}

QString labelText(QWidget *window, const char *name)
{
    const auto *label = window->findChild<QLabel *>(QLatin1String(name));
    return label ? label->text() : QString();
}

} // namespace

DemoPilot::DemoPilot(const QString &screenshotDir, QObject *parent)
    : QObject(parent), screenshotDir(screenshotDir)
{
    if (!screenshotDir.isEmpty())
        QDir().mkpath(screenshotDir);
    sinceStart.start();
    connect(&pollTimer, &QTimer::timeout, this, &DemoPilot::look);
    pollTimer.start(PollMs);
}

void DemoPilot::say(const QString &line)
{
    const QByteArray text = QStringLiteral("[%1 s] %2\n")
                                .arg(sinceStart.elapsed() / 1000.0, 5, 'f', 1)
                                .arg(line)
                                .toUtf8();
    std::fputs(text.constData(), stdout);
    std::fflush(stdout);
}

void DemoPilot::look()
{
    if (sinceStart.elapsed() > DeadlineMs) {
        finish(3, QStringLiteral("No whole update within %1 s; giving up.").arg(DeadlineMs / 1000));
        return;
    }
    // The window's labels go on changing behind a box.
    QWidget *window = toolWindow();
    if (window)
        reportLabels(window);
    if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
        lookAtBox(box);
        return;
    }
    currentBox.clear();
    if (checkFailed) {
        finish(1, QStringLiteral("The firmware check failed: is the firmware server running?"));
        return;
    }
    if (window)
        lookAtWindow(window);
}

void DemoPilot::lookAtBox(QMessageBox *box)
{
    if (box != currentBox) {
        currentBox = box;
        pause.start();
        say(QStringLiteral("Box 「%1」: %2")
                .arg(box->windowTitle(),
                     box->text().replace(QLatin1Char('\n'), QLatin1String(" / "))));
        if (box->windowTitle() == ServerFailureTitle)
            checkFailed = true;
        if (box->text() == FinishedText)
            updateFinished = true;
        return;
    }
    if (pause.elapsed() < PauseMs)
        return;

    if (box->text().startsWith(OpeningNoticeStart))
        screenshot(box, QStringLiteral("1-notice"));
    else if (box->text() == FinishedText)
        screenshot(box, QStringLiteral("4-finished"));
    say(QStringLiteral("Pressing OK"));
    if (QAbstractButton *ok = box->button(QMessageBox::Ok))
        ok->click();
    else
        box->accept();
    pause.start();
}

void DemoPilot::lookAtWindow(QWidget *window)
{
    auto *button = window->findChild<QPushButton *>(QStringLiteral("upgradeButton"));
    auto *bar = window->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    if (!button || !bar)
        return;

    if (updateFinished) {
        if (pause.elapsed() >= PauseMs / 2) {
            say(QStringLiteral("The update is complete; closing the window."));
            finish(0, QString());
            window->close();
        }
        return;
    }

    if (!buttonPressed) {
        const bool ready = button->isEnabled()
            && labelText(window, "lbServerFW").startsWith(LatestVersionPrefix)
            && labelText(window, "msgLabel").size() > CurrentVersionPrefix.size();
        if (!ready) {
            versionsShown = false;
            return;
        }
        if (!versionsShown) {
            versionsShown = true;
            pause.start();
            return;
        }
        if (pause.elapsed() < PauseMs)
            return;
        screenshot(window, QStringLiteral("2-versions"));
        say(QStringLiteral("Pressing 「%1」").arg(button->text()));
        buttonPressed = true;
        button->click();
        return;
    }

    if (!midUpdateTaken && bar->value() >= 50) {
        midUpdateTaken = true;
        screenshot(window, QStringLiteral("3-updating"));
    }
    if (!bar->isEnabled()) {
        finish(1,
               QStringLiteral("The update stopped: the device did not answer in time. "
                              "The device simulator's report below shows how far it got."));
    }
}

void DemoPilot::reportLabels(QWidget *window)
{
    const QString status = labelText(window, "statusLabel");
    if (status != lastStatus) {
        lastStatus = status;
        if (!status.startsWith(ProgressPrefix)) {
            say(QStringLiteral("Status line  : %1").arg(status));
        } else if (const int decade
                   = status.mid(ProgressPrefix.size()).section(QLatin1Char(' '), 0, 0).toInt() / 10;
                   decade > lastProgressDecade) {
            lastProgressDecade = decade;
            say(QStringLiteral("Status line  : %1").arg(status));
        }
    }
    const QString latest = labelText(window, "lbServerFW");
    if (latest != lastServerVersion) {
        lastServerVersion = latest;
        say(QStringLiteral("Latest FW    : %1").arg(latest));
    }
    const QString current = labelText(window, "msgLabel");
    if (current != lastDeviceVersion) {
        lastDeviceVersion = current;
        say(QStringLiteral("Device FW    : %1")
                .arg(current.isEmpty() ? QStringLiteral("(empty)") : current));
    }
    if (const auto *button = window->findChild<QPushButton *>(QStringLiteral("upgradeButton"))) {
        if (button->isEnabled() != lastButtonEnabled) {
            lastButtonEnabled = button->isEnabled();
            say(QStringLiteral("Button 「%1」: %2")
                    .arg(button->text(),
                         lastButtonEnabled ? QStringLiteral("enabled")
                                           : QStringLiteral("disabled")));
        }
    }
}

void DemoPilot::screenshot(QWidget *widget, const QString &name)
{
    if (screenshotDir.isEmpty())
        return;
    const QString path = QDir(screenshotDir).absoluteFilePath(name + QStringLiteral(".png"));
    if (widget->grab().save(path))
        say(QStringLiteral("Screenshot   : %1").arg(path));
    else
        say(QStringLiteral("Could not save the screenshot %1").arg(path));
}

void DemoPilot::finish(int exitCode, const QString &message)
{
    pollTimer.stop();
    failure = exitCode;
    if (!message.isEmpty())
        say(message);
    if (exitCode != 0)
        QCoreApplication::exit(exitCode);
}
