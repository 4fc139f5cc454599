#ifndef DEVICE_H
#define DEVICE_H

#include "serialport.h"

#include <QByteArray>
#include <QString>
#include <QThread>
#include <QTimer>

#include <atomic>

// The one serial link to the device. It lives in the GUI thread; only run()
// executes in the thread it starts, polling the port every 5 ms and handing
// each run of bytes it finds to the GUI thread as one received() chunk.
// Every write opens a 3000 ms reply window whose expiry is timeOut(). A port
// that goes away while open (an unplugged device) is reported at once with
// linkLost(), besides.
class Device : public QThread
{
    Q_OBJECT

public:
    explicit Device(QObject *parent = nullptr);
    ~Device() override;

    void setPortName(const QString &name);
    // False if the port could not be opened; errorString() then says why.
    bool open();
    QString errorString() const;
    void write(const QByteArray &packet);
    void close();

signals:
    void received(QByteArray packet);
    void timeOut();
    // The port has gone, in the system's words: once per opening, delivered
    // from the event loop of the thread the link lives in. The reply window
    // runs on regardless, so a write left unanswered still ends in timeOut().
    void linkLost(QString reason);

private slots:
    void onTimeOut();
    void onReceived(QByteArray);

protected:
    void run() override;

private:
    void configurePort();
    void startReading();
    void stopReading();
    void reportLoss(const QString &reason);

    QString portName;
    SerialPort serialPort;
    QByteArray readBuffer;
    std::atomic<bool> running {false};
    QTimer responseTimer;
    // Both threads notice a port that has gone; the first to do so reports.
    std::atomic<bool> lossReported {false};
    // Counts the openings: a loss still queued from an earlier one says
    // nothing about the port now open, and must not end its exchange.
    std::atomic<quint64> opening {0};
};

#endif // DEVICE_H
