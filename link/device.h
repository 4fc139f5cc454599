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
// Every write opens a 3000 ms reply window whose expiry is timeOut().
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

private slots:
    void onTimeOut();
    void onReceived(QByteArray);

protected:
    void run() override;

private:
    void configurePort();
    void startReading();
    void stopReading();

    QString portName;
    SerialPort serialPort;
    QByteArray readBuffer;
    std::atomic<bool> running {false};
    QTimer responseTimer;
};

#endif // DEVICE_H
