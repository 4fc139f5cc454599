#include "startup.h"

#include "dialog.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>

namespace {

// A quit request made while the opening notice is open (the firmware check
// failed behind it) must end only what is open at that moment: the notices
// close, and the tool goes on to show its window and run. Qt 6 drops quit()
// made before the main loop runs, so the notice runs inside that loop, and
// this filter, there only while the notice is open, turns the request into
// closing the open notices instead of ending the loop.
class QuitClosesNotices : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != qApp || event->type() != QEvent::Quit)
            return false;
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget *window : windows) {
            auto *box = qobject_cast<QMessageBox *>(window);
            if (box && box->isVisible())
                box->done(QMessageBox::Ok);
        }
        return true;
    }
};

void showOpeningNotice()
{
    QMessageBox::information(
        nullptr, QStringLiteral("FW更新"),
        QStringLiteral("FW更新時、データがリセットされる場合がございます。\n"
                       "FWを更新する前にアプリでデータの同期を行ってください。"),
        QMessageBox::Ok);
}

} // namespace

int runTool(QApplication &app, const Dialog::Seams &seams)
{
    QuitClosesNotices quitFilter;
    Dialog *window = nullptr;

    // Queued before the window exists, so the notice comes before anything
    // its construction sets going, as it did when it ran ahead of the loop.
    QMetaObject::invokeMethod(
        &app,
        [&app, &window, &quitFilter] {
            // The notice is the only visible window, and closing it must
            // not end the run.
            const bool quitOnLastWindowClosed = app.quitOnLastWindowClosed();
            app.setQuitOnLastWindowClosed(false);
            app.installEventFilter(&quitFilter);
            showOpeningNotice();
            app.removeEventFilter(&quitFilter);
            app.setQuitOnLastWindowClosed(quitOnLastWindowClosed);
            window->show();
        },
        Qt::QueuedConnection);

    Dialog dialog(nullptr, seams);
    window = &dialog;
    // Qt 6 reads every 8-bit literal as UTF-8, so there is no codec to install.
    dialog.setWindowTitle(QStringLiteral("FWアップデートツール - 1411101"));
    return app.exec();
}
