#include "deviceenumerator.h"
#include "dialog.h"
#include "firmwarerelease.h"
#include "startup.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QTcpServer>
#include <QVBoxLayout>
#include <QtTest>

#include <functional>

namespace {

const QString ToolTitle = QStringLiteral("FWアップデートツール - 1411101");
const QString NoticeTitle = QStringLiteral("FW更新");
const QString NoticeText = QStringLiteral("FW更新時、データがリセットされる場合がございます。\n"
                                          "FWを更新する前にアプリでデータの同期を行ってください。");
const QString CheckFailedTitle = QStringLiteral("FWアップデートツール");
// A run that has not ended by then is stuck in some loop.
constexpr int RunDeadlineMs = 30000;

QApplication &application()
{
    return static_cast<QApplication &>(*QCoreApplication::instance());
}

QMessageBox *activeBox()
{
    return qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
}

bool noticeIsOpen()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        auto *box = qobject_cast<QMessageBox *>(window);
        if (box && box->isVisible() && box->text() == NoticeText)
            return true;
    }
    return false;
}

Dialog *toolWindow()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (auto *dialog = qobject_cast<Dialog *>(window))
            return dialog;
    }
    return nullptr;
}

// A loopback URL on which nothing listens: the firmware check fails at once.
QString deadServerUrl()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return {};
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:%1/data").arg(port);
}

QStringList *capturedWarnings = nullptr;
QtMessageHandler previousHandler = nullptr;

void captureWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // The offscreen platform that the tests run on says so of every message
    // box; a desktop platform has nothing to say.
    if (type == QtWarningMsg
        && !message.contains(QLatin1String("does not support propagateSizeHints")))
        capturedWarnings->append(message);
    previousHandler(type, context, message);
}

// Runs the tool's start-up against the firmware server at baseUrl, with a
// user played by `step`, called every 20 ms from inside the tool's own event
// loops; returns the run's exit code, or 99 if the run had to be cut short.
int runWithUser(const QString &baseUrl, const std::function<void()> &step)
{
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, step);
    user.start(20);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    deadline.start(RunDeadlineMs);
    return runTool(application(), [&baseUrl](DeviceEnumerator &enumerator, UpdateFW &check) {
        // No device: the start-up must not depend on one.
        enumerator.setPortSource([] { return QList<PortRecord> {}; });
        check.setBaseUrl(baseUrl);
    });
}

} // namespace

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void course_data();
    void course();
    void quitWhileNoticeOpen();
    void quitAfterWindowShown();

private:
    QByteArray image = FirmwareRelease::randomImage(20000);
};

void tst_Startup::course_data()
{
    QTest::addColumn<QString>("dismissal");
    QTest::newRow("OK button") << "ok";
    QTest::newRow("Escape key") << "escape";
    QTest::newRow("window closed") << "close";
}

void tst_Startup::course()
{
    QFETCH(QString, dismissal);
    FirmwareRelease release;
    QVERIFY(release.publish(image));

    struct
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        bool windowHidden = false;
        QString windowTitle;
    } notice;
    struct
    {
        bool shown = false;
        QString title;
        QSize size;
        QSize minimum;
        QSize maximum;
        Qt::WindowFlags flags;
        QStringList order;
    } window;

    QStringList warnings;
    capturedWarnings = &warnings;
    previousHandler = qInstallMessageHandler(captureWarnings);
    const auto restoreHandler = qScopeGuard([] { qInstallMessageHandler(previousHandler); });

    int phase = 0;
    const int result = runWithUser(release.baseUrl(), [&] {
        QMessageBox *box = activeBox();
        Dialog *dialog = toolWindow();
        if (phase == 0 && box) {
            phase = 1;
            notice.title = box->windowTitle();
            notice.text = box->text();
            notice.icon = box->icon();
            notice.buttons = box->standardButtons();
            notice.windowHidden = dialog && !dialog->isVisible();
            notice.windowTitle = dialog ? dialog->windowTitle() : QString();
            if (dismissal == QLatin1String("ok"))
                box->button(QMessageBox::Ok)->click();
            else if (dismissal == QLatin1String("escape"))
                QTest::keyClick(box, Qt::Key_Escape);
            else
                box->close();
        } else if (phase == 1 && !box && dialog && dialog->isVisible()) {
            phase = 2;
            window.shown = true;
            window.title = dialog->windowTitle();
            window.size = dialog->size();
            window.minimum = dialog->minimumSize();
            window.maximum = dialog->maximumSize();
            window.flags = dialog->windowFlags();
            const auto *layout = dialog->findChild<QVBoxLayout *>(QStringLiteral("verticalLayout"));
            for (int i = 0; layout && i < layout->count(); ++i)
                window.order.append(layout->itemAt(i)->widget()->objectName());
            dialog->close();
        }
    });

    QCOMPARE(result, 0);
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
    QCOMPARE(notice.title, NoticeTitle);
    QCOMPARE(notice.text, NoticeText);
    QCOMPARE(notice.icon, QMessageBox::Information);
    QCOMPARE(notice.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(notice.windowHidden);
    QCOMPARE(notice.windowTitle, ToolTitle);

    QVERIFY(window.shown);
    QCOMPARE(window.title, ToolTitle);
    QCOMPARE(window.size, QSize(450, 300));
    QCOMPARE(window.minimum, QSize(450, 300));
    QCOMPARE(window.maximum, QSize(450, 300));
    // A title bar with a close button and nothing else.
    QCOMPARE(window.flags & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(window.flags.testFlag(Qt::CustomizeWindowHint));
    QVERIFY(window.flags.testFlag(Qt::WindowTitleHint));
    QVERIFY(window.flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(
        !window.flags.testAnyFlags(Qt::WindowMinMaxButtonsHint | Qt::WindowContextHelpButtonHint));
    QCOMPARE(
        window.order,
        (QStringList {"statusLabel", "lbServerFW", "msgLabel", "upgradeButton", "progressBar"}));
}

void tst_Startup::quitWhileNoticeOpen()
{
    const QString url = deadServerUrl();
    QVERIFY(!url.isEmpty());

    bool noticeOpenBehindFailure = false;
    bool windowHiddenBehindFailure = false;
    bool noticeClosedItself = false;
    bool stillRunning = false;
    QElapsedTimer shown;
    int phase = 0;
    const int result = runWithUser(url, [&] {
        QMessageBox *box = activeBox();
        Dialog *dialog = toolWindow();
        // The opening notice is left alone throughout.
        if (phase == 0 && box && box->windowTitle() == CheckFailedTitle) {
            phase = 1;
            noticeOpenBehindFailure = noticeIsOpen();
            windowHiddenBehindFailure = dialog && !dialog->isVisible();
            box->button(QMessageBox::Ok)->click();
        } else if (phase == 1 && !box && dialog && dialog->isVisible()) {
            phase = 2;
            noticeClosedItself = !noticeIsOpen();
            shown.start();
        } else if (phase == 2 && shown.elapsed() > 1500) {
            phase = 3;
            stillRunning = dialog && dialog->isVisible();
            if (dialog)
                dialog->close();
        }
    });

    QVERIFY(noticeOpenBehindFailure);
    QVERIFY(windowHiddenBehindFailure);
    QVERIFY(noticeClosedItself);
    QVERIFY(stillRunning);
    QCOMPARE(result, 0);
}

void tst_Startup::quitAfterWindowShown()
{
    FirmwareRelease release;
    // The version file comes too late: the check gives up after 5 s, by
    // which time the window is up.
    QVERIFY(
        release.publish(image, 12, {QStringLiteral("--delay-version"), QStringLiteral("8000")}));

    bool windowShown = false;
    bool checkFailureSeen = false;
    int phase = 0;
    const int result = runWithUser(release.baseUrl(), [&] {
        QMessageBox *box = activeBox();
        Dialog *dialog = toolWindow();
        if (phase == 0 && box && box->text() == NoticeText) {
            phase = 1;
            box->button(QMessageBox::Ok)->click();
        } else if (phase == 1 && !box && dialog && dialog->isVisible()) {
            phase = 2;
            windowShown = true;
        } else if (phase == 2 && box && box->windowTitle() == CheckFailedTitle) {
            phase = 3;
            checkFailureSeen = true;
            box->button(QMessageBox::Ok)->click();
        }
    });

    QVERIFY(windowShown);
    QVERIFY(checkFailureSeen);
    // The quit request alone ended the run: nobody closed the window.
    QCOMPARE(result, 0);
}

QTEST_MAIN(tst_Startup)
#include "tst_startup.moc"
