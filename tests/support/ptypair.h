#ifndef PTYPAIR_H
#define PTYPAIR_H

#include <QByteArray>
#include <QString>

// A bare pseudo-terminal for tests of the port itself: the test holds the
// master side and plays the device byte by byte; the port opens the slave.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();

    bool isValid() const { return master >= 0; }
    QString slavePath() const { return path; }

    bool writeToSlave(const QByteArray &bytes);
    // Reads what the slave side sent, waiting up to timeoutMs for count bytes.
    QByteArray readFromSlave(int count, int timeoutMs = 2000);
    void closeMaster();

private:
    int master = -1;
    QString path;
};

#endif // PTYPAIR_H
