#include "dialog.h"
#include "ui_dialog.h"

#include "checkfailurenotice.h"
#include "packets.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QSessionManager>

namespace {

// Without CustomizeWindowHint Qt 6 ignores the title hint and lets the
// platform add its usual buttons (context help on Windows, minimise and
// maximise elsewhere); the tool wants a title bar with a close button only.
constexpr Qt::WindowFlags TitleAndCloseOnly = Qt::Dialog | Qt::CustomizeWindowHint
    | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

constexpr int Width = 450;
constexpr int Height = 300;

void showInformation(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox::information(parent, title, text, QMessageBox::Ok);
}

} // namespace

int Dialog::switchAttempts = 0;

Dialog::Dialog(QWidget *parent, const Seams &seams)
    : QDialog(parent, TitleAndCloseOnly), ui(new Ui::Dialog)
{
    ui->setupUi(this);
    setFixedSize(Width, Height);
    if (seams)
        seams(enumerator, controller.updateFW);

    connect(&enumerator, &DeviceEnumerator::deviceAvailable, this, &Dialog::onDeviceAvailable);
    connect(&enumerator, &DeviceEnumerator::deviceNotFound, this, &Dialog::onDeviceNotFound);
    connect(&controller, &Controller::progressUpdated, this, &Dialog::onProgressUpdated);
    connect(&controller, &Controller::msgUpdated, this, &Dialog::onMsgUpdated);
    connect(&controller, &Controller::labelFWUpdated, this, &Dialog::onlabelFWUpdated);
    connect(&controller, &Controller::upgradeFinished, this, &Dialog::onUpgradeFinished);
    connect(&controller, &Controller::timeOut, this, &Dialog::onTimeOut);
    connect(&controller, &Controller::pcModeSwitched, this, &Dialog::onPCModeSwitched);
    connect(&controller, &Controller::btUpgrade, this, &Dialog::onBtUpgrade);
    connect(&controller.updateFW, &UpdateFW::failed, this, &showCheckFailureNotice);
    connect(ui->upgradeButton, &QPushButton::clicked, this, &Dialog::on_upgradeButton_clicked);
    // A log-off or shutdown mid-transfer would leave the device with half an
    // image, as closing the window would.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &session) {
        if (controller.isUpgrading())
            session.cancel();
    });
    // The window is what the system asks, and shows the reason beside, when
    // the session is to end; a program without a visible one may be ended
    // regardless.
    controller.systemHold().setWindow([this] { return quintptr(winId()); });
    controller.systemHold().setReason(
        QStringLiteral("FW更新中です。更新が終わるまでお待ちください。"));

    enumerator.startScanning();
    controller.updateFW.checkServerFW();
}

Dialog::~Dialog()
{
    // The form record goes first; the controller then stops the link thread
    // and the enumerator its scanning thread, as the members unwind.
    delete ui;
}

void Dialog::closeEvent(QCloseEvent *event)
{
    // Closing mid-transfer would leave the device with half an image.
    if (controller.isUpgrading())
        event->ignore();
}

void Dialog::done(int result)
{
    if (controller.isUpgrading())
        return;
    QDialog::done(result);
}

void Dialog::onDeviceAvailable(QString portName)
{
    // The link belongs to the transfer until it ends.
    if (controller.isUpgrading())
        return;

    ui->statusLabel->setText(tr("デバイスが接続されました。"));
    controller.setPortName(portName);

    if (versionChecked)
        return;

    if (!pcModeSent) {
        controller.switchPcMode();
        // Ticks 1 to 4 of a connection each send one PC-mode request.
        if (++switchAttempts >= Controller::PcModeRequests) {
            pcModeSent = true;
            switchAttempts = 0;
        }
        return;
    }

    // The button is enabled without waiting for the version answer: the
    // answer only fills the label, and checkVersion() has already cleared it
    // and disabled the button by the time it returns.
    controller.checkVersion();
    versionChecked = true;
    switchAttempts = 0;
    ui->upgradeButton->setEnabled(true);
}

void Dialog::onDeviceNotFound()
{
    if (controller.isUpgrading())
        return;

    ui->statusLabel->setText(tr("デバイスが接続されていません。"));
    ui->upgradeButton->setEnabled(false);
    ui->msgLabel->setText(tr(Packets::VersionLinePrefix));
    pcModeSent = false;
    versionChecked = false;
    switchAttempts = 0;
}

void Dialog::onProgressUpdated(int progress)
{
    ui->progressBar->setValue(progress);
    ui->statusLabel->setText(tr("更新... ") + QString::number(progress) + QStringLiteral(" %"));
}

void Dialog::onlabelFWUpdated(QString msg)
{
    ui->lbServerFW->setText(msg);
}

void Dialog::onMsgUpdated(QString msg)
{
    ui->msgLabel->setText(msg);
}

void Dialog::onUpgradeFinished()
{
    showInformation(nullptr, tr("FW更新"), tr("FWが更新されました。"));
    ui->progressBar->setValue(0);
    ui->progressBar->setEnabled(false);
}

void Dialog::onBtUpgrade(bool can)
{
    ui->upgradeButton->setEnabled(can);
}

void Dialog::onPCModeSwitched()
{
    showInformation(this, QStringLiteral("Firmware upgrade"), QStringLiteral("PC Mode switched!"));
}

void Dialog::onTimeOut()
{
    ui->progressBar->setValue(0);
    ui->progressBar->setEnabled(false);
}

void Dialog::on_upgradeButton_clicked()
{
    ui->progressBar->setEnabled(true);
    ui->upgradeButton->setEnabled(false);
    controller.startUpgrade();
}

void Dialog::on_pcModeButton_clicked()
{
    controller.switchPcMode();
}

void Dialog::on_btCheckVersion_clicked()
{
    controller.checkVersion();
}
