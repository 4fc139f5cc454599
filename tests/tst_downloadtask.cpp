#include "downloadtask.h"
#include "firmwareserver.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaMethod>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

// Far above anything served here, where the limit is not what a row tries.
constexpr qint64 AnySize = 1024 * 1024;

} // namespace

class tst_DownloadTask : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void metaObjectOrder();
    void storesWhatArrives_data();
    void storesWhatArrives();
    void plantedPath_data();
    void plantedPath();
    void nextDownloadStartedFromDone();

private:
    QString localPath(const QString &name) const { return local.filePath(name); }

    QTemporaryDir served;
    QTemporaryDir local;
    QByteArray image;
};

void tst_DownloadTask::initTestCase()
{
    QVERIFY(served.isValid());
    // Only ever the loopback server, whatever proxy the environment names.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    for (int i = 0; i < 4096; ++i)
        image.append(char(i * 7 + i / 256));
    const QString dir = served.filePath("data/hello/TPX-KLN04/");
    QVERIFY(writeFile(dir + "K-DMX-47-1.ghx", image));
    QVERIFY(writeFile(dir + "empty.ghx", QByteArray()));
    QVERIFY(writeFile(dir + "version.txt", "1 0cc175b9c0f1b6a831c399e269772661\n"));
}

void tst_DownloadTask::init()
{
    QVERIFY(local.isValid());
    QDir(local.path()).removeRecursively();
    QVERIFY(QDir().mkpath(local.path()));
}

void tst_DownloadTask::metaObjectOrder()
{
    const QMetaObject &meta = DownloadTask::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods << QString::fromLatin1(meta.method(i).methodSignature());
    QCOMPARE(methods,
             QStringList({"done()", "provideAuthenication(QNetworkReply*,QAuthenticator*)",
                          "httpReply(QNetworkReply*)"}));
}

void tst_DownloadTask::storesWhatArrives_data()
{
    QTest::addColumn<QString>("remotePath");
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<qint64>("limit");
    // Both null: refused as too large, and nothing stored.
    QTest::addColumn<QByteArray>("expectedBody");
    QTest::addColumn<QByteArray>("expectedPart");

    const QString imagePath = "hello/TPX-KLN04/K-DMX-47-1.ghx";
    const QStringList none;
    QTest::newRow("whole body") << imagePath << none << AnySize << image << QByteArray();
    QTest::newRow("empty body") << "hello/TPX-KLN04/empty.ghx" << none << AnySize << QByteArray("")
                                << QByteArray();
    QTest::newRow("missing file, 404 page") << "hello/TPX-KLN04/K-DMX-47-2.ghx" << none << AnySize
                                            << QByteArray() << QByteArray("Error code: 404");
    QTest::newRow("truncated body") << imagePath << QStringList({"--truncate-image", "1000"})
                                    << AnySize << image.left(1000) << QByteArray();
    QTest::newRow("body of the limit's size")
        << imagePath << none << qint64(image.size()) << image << QByteArray();
    QTest::newRow("body one byte beyond the limit")
        << imagePath << none << qint64(image.size() - 1) << QByteArray() << QByteArray();
    QTest::newRow("body without end") << imagePath << QStringList({"--endless", "image"})
                                      << qint64(image.size()) << QByteArray() << QByteArray();
}

void tst_DownloadTask::storesWhatArrives()
{
    QFETCH(QString, remotePath);
    QFETCH(QStringList, switches);
    QFETCH(qint64, limit);
    QFETCH(QByteArray, expectedBody);
    QFETCH(QByteArray, expectedPart);

    FirmwareServer server;
    QVERIFY(server.start(served.path(), switches));
    const QString url = server.baseUrl() + "/" + remotePath;

    const QString path = localPath("stored.bin");
    QVERIFY(writeFile(path, "stale content"));

    DownloadTask task;
    QSignalSpy done(&task, &DownloadTask::done);
    QVERIFY(done.isValid());
    task.download(QUrl(url), path, limit);
    QVERIFY(done.wait(10000));

    const bool refused = expectedBody.isNull() && expectedPart.isNull();
    QCOMPARE(task.tooLarge(), refused);
    QCOMPARE(task.stored(), !refused);
    const QByteArray stored = readFile(path);
    if (refused) {
        QCOMPARE(stored, QByteArray("stale content"));
        QVERIFY(task.body().isEmpty());
    } else {
        QCOMPARE(task.body(), stored);
        if (!expectedBody.isNull())
            QCOMPARE(stored, expectedBody);
        else
            QVERIFY2(stored.contains(expectedPart), stored.constData());
    }
    QTest::qWait(50);
    QCOMPARE(done.count(), 1);
    // Nothing but the body is left behind in the folder.
    QCOMPARE(QDir(local.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"stored.bin"}));
}

void tst_DownloadTask::plantedPath_data()
{
    QTest::addColumn<QString>("plant");
    QTest::addColumn<bool>("expectStored");

    QTest::newRow("hard link to another file") << "hardlink" << true;
    // A link planted there between any check and the save is replaced by the
    // file, never written through.
    QTest::newRow("symbolic link to another file") << "symlink" << true;
    QTest::newRow("folder") << "folder" << false;
}

void tst_DownloadTask::plantedPath()
{
    QFETCH(QString, plant);
    QFETCH(bool, expectStored);

    FirmwareServer server;
    QVERIFY(server.start(served.path()));

    const QString victim = localPath("victim.txt");
    const QByteArray precious = "someone else's file";
    QVERIFY(writeFile(victim, precious));
    const QString path = localPath("planted.bin");
    if (plant == "hardlink")
        QVERIFY(::link(QFile::encodeName(victim), QFile::encodeName(path)) == 0);
    else if (plant == "symlink")
        QVERIFY(QFile::link(victim, path));
    else
        QVERIFY(QDir().mkpath(path + "/inside"));

    DownloadTask task;
    QSignalSpy done(&task, &DownloadTask::done);
    QVERIFY(done.isValid());
    task.download(QUrl(server.baseUrl() + "/hello/TPX-KLN04/K-DMX-47-1.ghx"), path, AnySize);
    QVERIFY(done.wait(10000));

    QCOMPARE(readFile(victim), precious);
    QCOMPARE(task.stored(), expectStored);
    if (expectStored) {
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(readFile(path), image);
    } else {
        QVERIFY(!task.storeErrorString().isEmpty());
    }
    // No temporary file is left behind either way.
    const QStringList names
        = QDir(local.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(names, QStringList({"planted.bin", "victim.txt"}));
}

void tst_DownloadTask::nextDownloadStartedFromDone()
{
    FirmwareServer server;
    QVERIFY(server.start(served.path()));
    const QString versionUrl = server.baseUrl() + "/hello/TPX-KLN04/version.txt";
    const QString imageUrl = server.baseUrl() + "/hello/TPX-KLN04/K-DMX-47-1.ghx";

    DownloadTask task;
    QSignalSpy done(&task, &DownloadTask::done);
    QVERIFY(done.isValid());
    bool firstDone = true;
    QByteArray firstStored;
    connect(&task, &DownloadTask::done, this, [&] {
        if (!firstDone)
            return;
        firstDone = false;
        // The first body must already be complete when done() arrives.
        firstStored = readFile(localPath("first.txt"));
        task.download(QUrl(imageUrl), localPath("second.ghx"), AnySize);
    });
    task.download(QUrl(versionUrl), localPath("first.txt"), AnySize);
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 2, 10000);

    QCOMPARE(firstStored, QByteArray("1 0cc175b9c0f1b6a831c399e269772661\n"));
    QCOMPARE(readFile(localPath("first.txt")), firstStored);
    QCOMPARE(readFile(localPath("second.ghx")), image);
    QCOMPARE(
        server.requestedPaths(),
        QStringList({"/data/hello/TPX-KLN04/version.txt", "/data/hello/TPX-KLN04/K-DMX-47-1.ghx"}));
    // Finished replies are released, not kept until the tool ends.
    QTRY_VERIFY(task.findChildren<QNetworkReply *>().isEmpty());
}

QTEST_GUILESS_MAIN(tst_DownloadTask)
#include "tst_downloadtask.moc"
