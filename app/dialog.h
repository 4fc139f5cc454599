#ifndef DIALOG_H
#define DIALOG_H

#include "controller.h"
#include "deviceenumerator.h"

#include <QDialog>
#include <QString>

#include <functional>

QT_BEGIN_NAMESPACE
namespace Ui {
class Dialog;
}
class QCloseEvent;
QT_END_NAMESPACE

// The tool's only window. It turns the once-per-second detection reports
// into the handshake that readies an attached device (four PC-mode requests,
// then the version request), shows what the controller and the firmware
// check report, and cannot be dismissed while an update runs. GUI thread.
class Dialog : public QDialog
{
    Q_OBJECT

public:
    // Hands a test or the demo the parts that look for devices and check the
    // firmware server (the controller's), before they start, to point them
    // at simulated ports and a loopback server through their own setters.
    // The tool passes none. The command line takes the same.
    using Seams = std::function<void(DeviceEnumerator &enumerator, UpdateFW &check)>;

    explicit Dialog(QWidget *parent = nullptr, const Seams &seams = {});
    ~Dialog() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    // Escape, reject() and accept() all end here without a close event, so
    // the guard must sit here as well as in closeEvent().
    void done(int result) override;

private slots:
    void onDeviceAvailable(QString portName);
    void onDeviceNotFound();
    void onProgressUpdated(int progress);
    void onlabelFWUpdated(QString msg);
    void onMsgUpdated(QString msg);
    void onUpgradeFinished();
    void onBtUpgrade(bool can);
    void onPCModeSwitched();
    void onTimeOut();
    void on_upgradeButton_clicked();
    void on_pcModeButton_clicked();
    void on_btCheckVersion_clicked();

private:
    bool pcModeSent = false;
    bool versionChecked = false;
    Ui::Dialog *ui;
    DeviceEnumerator enumerator;
    Controller controller;

    // Counts the PC-mode requests of the current connection. One counter for
    // the whole process, not one per window.
    static int switchAttempts;
};

#endif // DIALOG_H
