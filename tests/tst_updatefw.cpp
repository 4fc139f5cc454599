#include "checkfailurenotice.h"
#include "firmwareserver.h"
#include "highestverifiedversion.h"
#include "minisignkey.h"
#include "testfiles.h"
#include "updatefw.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QMetaMethod>
#include <QNetworkProxy>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// Digests from RFC 1321's test suite.
const QByteArray image = "message digest";
const QByteArray imageMd5 = "f96b697d7cb7938d525a2f31aaf161d0";
const QByteArray aMd5 = "0cc175b9c0f1b6a831c399e269772661";
const QByteArray abcMd5 = "900150983cd24fb0d6963f7d28e17f72";

const QString noticeTitle = QStringLiteral("FWアップデートツール");
const QString noticeText
    = QStringLiteral("インターネットに接続されているかどうかご確認ください。 ");
const QString labelPrefix = QStringLiteral("最新のFWバージョン : ");
const QString remoteDir = QStringLiteral("/data/hello/TPX-KLN04/");

const int readyExit = 42;
const int limitExit = 99;

QStringList *capturedDebug = nullptr;
QtMessageHandler previousHandler = nullptr;

void captureDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (capturedDebug && type == QtDebugMsg && qstrcmp(context.category, "default") == 0)
        capturedDebug->append(message);
    else
        previousHandler(type, context, message);
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString versionLocalPath()
{
    return QDir::tempPath() + "/fw_version.txt";
}

QString imageLocalPath()
{
    return QDir::tempPath() + "/hello_Update.ghx";
}

// The moment quit() takes effect is the Quit event it sends the application.
class QuitRecorder : public QObject
{
public:
    explicit QuitRecorder(QStringList *events) : events(events) { }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == qApp && event->type() == QEvent::Quit)
            events->append("quit");
        return false;
    }

private:
    QStringList *events;
};

struct Notice
{
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    bool hasParent = false;
    bool modal = false;
    qint64 shownAfterMs = 0;
};

struct CheckRun
{
    int exitCode = -1;
    // "setFwName", "labelFW", "canUpgrade(false)", "notice" (shown), "closed"
    // (closed by the test) and "quit", in the order they happened.
    QStringList events;
    QStringList debug;
    QList<Notice> notices;
    QString fwName;
    bool imageExistedAtSetFwName = false;
    QString label;
    QString digestAtLabel;
    QString verifiedName;
    QList<UpdateFW::Failure> failures;
};

struct RunOptions
{
    bool untilQuit = true;
    int holdNoticeMs = 0;
    bool holdUntilLabel = false;
    int limitMs = 20000;
};

// Runs one check inside the application's event loop, as the tool does,
// closing each notice like a user would. Ends at the quit request, at labelFW
// when no quit is expected, or at the time limit.
CheckRun runCheck(UpdateFW &fw, const RunOptions &options)
{
    CheckRun run;
    QObject context;
    QElapsedTimer clock;
    clock.start();

    QObject::connect(&fw, &UpdateFW::setFwName, &context, [&](const QString &path) {
        run.events << "setFwName";
        run.fwName = path;
        run.imageExistedAtSetFwName = QFile::exists(path);
    });
    QObject::connect(&fw, &UpdateFW::imageVerified, &context,
                     [&](int, const QString &name) { run.verifiedName = name; });
    QObject::connect(&fw, &UpdateFW::labelFW, &context, [&](const QString &text) {
        run.events << "labelFW";
        run.label = text;
        run.digestAtLabel = fw.verifiedDigest();
        if (!options.untilQuit)
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(readyExit); });
    });
    QObject::connect(&fw, &UpdateFW::canUpgrade, &context, [&](bool can) {
        run.events << (can ? "canUpgrade(true)" : "canUpgrade(false)");
    });
    // As the window answers a failure.
    QObject::connect(&fw, &UpdateFW::failed, &context, [&](UpdateFW::Failure failure) {
        run.failures << failure;
        showCheckFailureNotice();
    });

    QPointer<QMessageBox> shown;
    QElapsedTimer shownFor;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, &context, [&] {
        QMessageBox *box = nullptr;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *candidate = qobject_cast<QMessageBox *>(widget);
                candidate && candidate->isVisible())
                box = candidate;
        }
        if (!box)
            return;
        if (box != shown) {
            shown = box;
            shownFor.start();
            run.events << "notice";
            run.notices << Notice {box->windowTitle(),     box->text(),
                                   box->standardButtons(), box->parentWidget() != nullptr,
                                   box->isModal(),         clock.elapsed()};
        }
        if (run.notices.size() == 1
            && (shownFor.elapsed() < options.holdNoticeMs
                || (options.holdUntilLabel && run.label.isEmpty())))
            return;
        run.events << "closed";
        shown = nullptr;
        box->button(QMessageBox::Ok)->click();
    });
    closer.start(10);

    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &context, [] { QCoreApplication::exit(limitExit); });
    limit.start(options.limitMs);

    QuitRecorder quitRecorder(&run.events);
    qApp->installEventFilter(&quitRecorder);
    capturedDebug = &run.debug;
    previousHandler = qInstallMessageHandler(captureDebug);

    // A stalled image is given up well within the run's time limit.
    fw.setImageTransferTimeout(700);
    fw.checkServerFW();
    run.exitCode = QCoreApplication::exec();

    qInstallMessageHandler(previousHandler);
    capturedDebug = nullptr;
    qApp->removeEventFilter(&quitRecorder);
    return run;
}

} // namespace

class tst_UpdateFW : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Ready, FileError, Mismatch };
    Q_ENUM(Outcome)

private slots:
    void initTestCase();
    void init();
    void metaObjectOrder();
    void versionFile_data();
    void versionFile();
    void serverFault_data();
    void serverFault();
    void lateVersionFile_data();
    void lateVersionFile();
    void https_data();
    void https();
    void unusableTempDir_data();
    void unusableTempDir();
    void failureReason_data();
    void failureReason();
    void versionsOnlyGoForward_data();
    void versionsOnlyGoForward();
    void publishedRelease_data();
    void publishedRelease();
    void publisherRefusesBadInput_data();
    void publisherRefusesBadInput();

private:
    void plantStaleDownloads();
    void verifyRun(const CheckRun &run, Outcome outcome, const QString &baseUrl,
                   const QString &imageName, const QByteArray &announced);
    bool publish(const QStringList &arguments, QByteArray *errors = nullptr);

    QTemporaryDir privateTemp;
    QTemporaryDir served;
    QTemporaryDir certificates;
    // The maker's key, the next one for a key change, and someone else's.
    MinisignKey makerKey;
    MinisignKey successorKey;
    MinisignKey strangerKey;
};

void tst_UpdateFW::initTestCase()
{
    // The download paths are fixed below the temporary directory; a private
    // one keeps concurrent test runs from meeting there.
    QVERIFY(privateTemp.isValid());
    qputenv("TMPDIR", QFile::encodeName(privateTemp.path()));
    QCOMPARE(QDir::tempPath(), QDir(privateTemp.path()).canonicalPath());
    // Where a keyed check records the versions it verified: each row starts
    // with none.
    qputenv("XDG_DATA_HOME", QFile::encodeName(privateTemp.filePath("data")));
    QVERIFY(served.isValid());
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);

    QVERIFY(certificates.isValid());
    QProcess maker;
    maker.setProcessChannelMode(QProcess::ForwardedChannels);
    maker.start("bash", {TESTS_DIR "/support/make-test-certificates.sh", certificates.path()});
    QVERIFY(maker.waitForFinished(30000));
    QCOMPARE(maker.exitCode(), 0);
    // The test authority stands in for one the system trusts.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(certificates.filePath("authority.pem"));
    QSslConfiguration::setDefaultConfiguration(tls);

    for (const char *name :
         {"K-DMX-47--3.ghx", "K-DMX-47-2147483647.ghx", "K-DMX-47--2147483648.ghx"})
        QVERIFY(writeFile(served.filePath("data/hello/TPX-KLN04/") + name, image));
    QVERIFY(makerKey.generate(certificates.path(), "maker"));
    QVERIFY(successorKey.generate(certificates.path(), "successor"));
    QVERIFY(strangerKey.generate(certificates.path(), "stranger"));
}

void tst_UpdateFW::init()
{
    QVERIFY(
        writeFile(served.filePath("data/hello/TPX-KLN04/version.txt"), "12 " + imageMd5 + "\n"));
    QVERIFY(writeFile(served.filePath("data/hello/TPX-KLN04/K-DMX-47-12.ghx"), image));
    QFile::remove(served.filePath("data/hello/TPX-KLN04/K-DMX-47-12.ghx.minisig"));
    QVERIFY(QDir(privateTemp.filePath("data")).removeRecursively());
    plantStaleDownloads();
}

// A previous run's files, both valid: the check must never take them for
// this run's downloads.
void tst_UpdateFW::plantStaleDownloads()
{
    QVERIFY(writeFile(versionLocalPath(), "12 " + imageMd5 + "\n"));
    QVERIFY(writeFile(imageLocalPath(), image));
}

void tst_UpdateFW::verifyRun(const CheckRun &run, Outcome outcome, const QString &baseUrl,
                             const QString &imageName, const QByteArray &announced)
{
    QVERIFY2(run.exitCode != limitExit, qPrintable(run.events.join(", ")));

    QStringList expectedEvents;
    switch (outcome) {
    case Ready:
        expectedEvents = {"setFwName", "labelFW"};
        QCOMPARE(run.exitCode, readyExit);
        break;
    case FileError:
        expectedEvents = {"notice", "closed", "quit"};
        QCOMPARE(run.exitCode, 0);
        break;
    case Mismatch:
        expectedEvents = {"setFwName", "canUpgrade(false)", "notice", "closed", "quit"};
        QCOMPARE(run.exitCode, 0);
        break;
    }
    QCOMPARE(run.events, expectedEvents);

    for (const Notice &notice : run.notices) {
        QCOMPARE(notice.title, noticeTitle);
        QCOMPARE(notice.text, noticeText);
        QCOMPARE(notice.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(!notice.hasParent);
        QVERIFY(notice.modal);
    }

    QStringList expectedDebug
        = {quoted(versionLocalPath()), quoted(baseUrl + "/hello/TPX-KLN04/version.txt"), "onDone"};
    if (outcome == FileError) {
        expectedDebug << "file error";
        QCOMPARE(run.debug, expectedDebug);
    } else {
        expectedDebug << quoted(imageLocalPath())
                      << quoted(baseUrl + "/hello/TPX-KLN04/" + imageName) << "onDone";
        QCOMPARE(run.debug.mid(0, 6), expectedDebug);
        QCOMPARE(run.debug.size(), 8);
        QCOMPARE(run.debug.at(7), quoted(QString::fromLatin1(announced)));
        if (outcome == Ready) {
            QCOMPARE(run.debug.at(6), quoted(QString::fromLatin1(announced)));
        } else {
            QVERIFY(QRegularExpression("^\"[0-9a-f]{32}\"$").match(run.debug.at(6)).hasMatch());
            QVERIFY(run.debug.at(6) != run.debug.at(7));
        }
        QCOMPARE(run.fwName, imageLocalPath());
        QVERIFY2(!run.imageExistedAtSetFwName, "setFwName came after the image was stored");
    }

    if (outcome == Ready) {
        QCOMPARE(run.label, labelPrefix + imageName.chopped(4));
        QCOMPARE(run.verifiedName, imageName.chopped(4));
        QCOMPARE(run.digestAtLabel, QString::fromLatin1(announced));
    }
}

void tst_UpdateFW::metaObjectOrder()
{
    const QMetaObject &meta = UpdateFW::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods << QString::fromLatin1(meta.method(i).methodSignature());
    QCOMPARE(methods,
             QStringList({"labelFW(QString)", "canUpgrade(bool)", "setFwName(QString)",
                          "failed(UpdateFW::Failure,QString)", "imageVerified(int,QString,QString)",
                          "onHttpTimeOut()", "onDone()"}));
}

void tst_UpdateFW::versionFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("imageName");
    QTest::addColumn<QByteArray>("announced");

    const QByteArray md5 = imageMd5;
    const QString name12 = "K-DMX-47-12.ghx";
    auto ready
        = [&](const char *row, const QByteArray &content, const QString &name = "K-DMX-47-12.ghx") {
              QTest::newRow(row) << content << Ready << name << md5;
          };
    auto fileError = [](const char *row, const QByteArray &content) {
        QTest::newRow(row) << content << FileError << QString() << QByteArray();
    };

    ready("one line", "12 " + md5);
    ready("one line, CR LF", "12 " + md5 + "\r\n");
    ready("one line, LF", "12 " + md5 + "\n");
    QTest::newRow("uppercase digest") << "12 " + md5.toUpper() + "\r\n"
                                      << Mismatch << name12 << md5.toUpper();
    QTest::newRow("digest of another image") << "12 " + aMd5 + "\r\n" << Mismatch << name12 << aMd5;
    ready("two lines, letter-led digest", "12\r\n" + md5 + "\r\n");
    // The line break vanishes, so the digest's leading digits join the number.
    QTest::newRow("two lines, digit-led digest") << "12\r\n" + aMd5 + "\r\n"
                                                 << Mismatch << "K-DMX-47-120.ghx" << aMd5.mid(1);
    fileError("two lines, digit-led digest beyond int", "12\r\n" + abcMd5 + "\r\n");
    ready("no blank before a letter-led digest", "12" + md5);
    ready("leading blanks", " \t 12 " + md5 + "\r\n");
    ready("several blanks between", "12 \t\v " + md5 + "\r\n");
    ready("plus sign", "+12 " + md5 + "\r\n");
    ready("minus sign", "-3 " + md5 + "\r\n", "K-DMX-47--3.ghx");
    ready("leading zeros", "012 " + md5 + "\r\n");
    ready("many leading zeros", "0000000000000000000012 " + md5 + "\r\n");
    ready("trailing text", "12 " + md5 + " released 2014-11-10\r\nnotes\r\n");
    ready("largest int", "2147483647 " + md5 + "\r\n", "K-DMX-47-2147483647.ghx");
    ready("smallest int", "-2147483648 " + md5 + "\r\n", "K-DMX-47--2147483648.ghx");
    fileError("number beyond int", "2147483648 " + md5 + "\r\n");
    fileError("number far beyond int", "99999999999999999999 " + md5 + "\r\n");
    fileError("number below int", "-2147483649 " + md5 + "\r\n");
    fileError("digest of 33 characters", "12 " + md5 + "0\r\n");
    fileError("digest of 64 characters", "12 " + md5 + md5 + "\r\n");
    fileError("empty file", "");
    fileError("line break only", "\r\n");
    fileError("blanks only", " \t ");
    fileError("number only", "12\r\n");
    fileError("sign without digits", "+ " + md5 + "\r\n");
    fileError("byte order mark",
              "\xEF\xBB\xBF"
              "12 "
                  + md5 + "\r\n");
    fileError("HTML page", "<html><body>12 " + md5 + "</body></html>\r\n");
    fileError("NUL before the digest", QByteArray("12 \0", 4) + md5 + "\r\n");
}

void tst_UpdateFW::versionFile()
{
    QFETCH(QByteArray, content);
    QFETCH(Outcome, outcome);
    QFETCH(QString, imageName);
    QFETCH(QByteArray, announced);

    QVERIFY(writeFile(served.filePath("data/hello/TPX-KLN04/version.txt"), content));
    FirmwareServer server;
    QVERIFY(server.start(served.path()));

    UpdateFW fw;
    fw.setBaseUrl(server.baseUrl());
    const CheckRun run = runCheck(fw, {outcome != Ready});
    verifyRun(run, outcome, server.baseUrl(), imageName, announced);
    if (QTest::currentTestFailed())
        return;

    QStringList expectedPaths = {remoteDir + "version.txt"};
    if (outcome != FileError)
        expectedPaths << remoteDir + imageName;
    QCOMPARE(server.requestedPaths(), expectedPaths);
    QCOMPARE(readFile(versionLocalPath()), content);
    if (outcome == Ready) {
        QCOMPARE(readFile(imageLocalPath()), image);
        QCOMPARE(fw.verifiedDigest(), QString::fromLatin1(imageMd5));
    } else {
        QVERIFY(fw.verifiedDigest().isEmpty());
    }
}

void tst_UpdateFW::serverFault_data()
{
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<bool>("serverUp");
    QTest::addColumn<Outcome>("outcome");
    // What stands at the local path afterwards; a null array is not checked.
    QTest::addColumn<QByteArray>("storedVersion");
    QTest::addColumn<QByteArray>("storedImage");

    const QByteArray unchecked;
    const QByteArray nothing("");
    QTest::newRow("version file, 404 page")
        << QStringList({"--status-version", "404"}) << true << FileError << unchecked << image;
    QTest::newRow("version file, 500 page")
        << QStringList({"--status-version", "500"}) << true << FileError << unchecked << image;
    QTest::newRow("version file redirected")
        << QStringList({"--redirect-version"}) << true << FileError << nothing << image;
    QTest::newRow("connection refused")
        << QStringList() << false << FileError << unchecked << image;
    QTest::newRow("image, 404 page")
        << QStringList({"--status-image", "404"}) << true << Mismatch << unchecked << unchecked;
    QTest::newRow("image, 500 page")
        << QStringList({"--status-image", "500"}) << true << Mismatch << unchecked << unchecked;
    QTest::newRow("image truncated") << QStringList({"--truncate-image", "7"}) << true << Mismatch
                                     << unchecked << QByteArray("message");
    QTest::newRow("image truncated to nothing")
        << QStringList({"--truncate-image", "0"}) << true << Mismatch << unchecked << nothing;
    QTest::newRow("image stalls") << QStringList({"--stall-image"}) << true << Mismatch << unchecked
                                  << nothing;
}

void tst_UpdateFW::serverFault()
{
    QFETCH(QStringList, switches);
    QFETCH(bool, serverUp);
    QFETCH(Outcome, outcome);
    QFETCH(QByteArray, storedVersion);
    QFETCH(QByteArray, storedImage);

    FirmwareServer server;
    QVERIFY(server.start(served.path(), switches));
    const QString baseUrl = server.baseUrl();
    if (!serverUp)
        server.stop();

    UpdateFW fw;
    fw.setBaseUrl(baseUrl);
    const CheckRun run = runCheck(fw, {});
    verifyRun(run, outcome, baseUrl, "K-DMX-47-12.ghx", imageMd5);
    if (QTest::currentTestFailed())
        return;

    QStringList expectedPaths;
    if (serverUp)
        expectedPaths << remoteDir + "version.txt";
    if (outcome == Mismatch)
        expectedPaths << remoteDir + "K-DMX-47-12.ghx";
    QCOMPARE(server.requestedPaths(), expectedPaths);
    if (!storedVersion.isNull())
        QCOMPARE(readFile(versionLocalPath()), storedVersion);
    if (!storedImage.isNull())
        QCOMPARE(readFile(imageLocalPath()), storedImage);
    QVERIFY(fw.verifiedDigest().isEmpty());
}

void tst_UpdateFW::lateVersionFile_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("holdNoticeMs");
    QTest::addColumn<bool>("holdUntilLabel");
    QTest::addColumn<QStringList>("expectedEvents");

    // The reply is handled inside the open notice; the quit still follows it.
    QTest::newRow("arrives while the notice is open")
        << 5600 << 0 << true << QStringList({"notice", "setFwName", "labelFW", "closed", "quit"});
    // Held open past a second 5000 ms, so a timer left running would show.
    QTest::newRow("never arrives")
        << 60000 << 5500 << false << QStringList({"notice", "closed", "quit"});
}

void tst_UpdateFW::lateVersionFile()
{
    QFETCH(int, delayMs);
    QFETCH(int, holdNoticeMs);
    QFETCH(bool, holdUntilLabel);
    QFETCH(QStringList, expectedEvents);

    FirmwareServer server;
    QVERIFY(server.start(served.path(), {"--delay-version", QString::number(delayMs)}));

    UpdateFW fw;
    fw.setBaseUrl(server.baseUrl());
    RunOptions options;
    options.holdNoticeMs = holdNoticeMs;
    options.holdUntilLabel = holdUntilLabel;
    const CheckRun run = runCheck(fw, options);

    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.events, expectedEvents);
    QCOMPARE(run.notices.size(), 1);
    QCOMPARE(run.notices.first().text, noticeText);
    // A coarse 5000 ms timer may fire up to 5 % early.
    QVERIFY2(run.notices.first().shownAfterMs >= 4750,
             qPrintable(QString::number(run.notices.first().shownAfterMs)));
    QCOMPARE(run.debug.count("Http Time out"), 1);
    QCOMPARE(run.debug.at(2), QString("Http Time out"));
    if (holdUntilLabel) {
        QCOMPARE(run.label, labelPrefix + "K-DMX-47-12");
        QCOMPARE(run.fwName, imageLocalPath());
        QCOMPARE(server.requestedPaths(),
                 QStringList({remoteDir + "version.txt", remoteDir + "K-DMX-47-12.ghx"}));
    } else {
        QCOMPARE(server.requestedPaths(), QStringList({remoteDir + "version.txt"}));
        QVERIFY(fw.verifiedDigest().isEmpty());
    }
}

void tst_UpdateFW::https_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("pinnedAuthority");
    QTest::addColumn<Outcome>("outcome");

    QTest::newRow("authority the system trusts") << "trusted" << QString() << Ready;
    QTest::newRow("unknown authority") << "other-authority-server" << QString() << FileError;
    QTest::newRow("wrong host name") << "wrong-host" << QString() << FileError;
    QTest::newRow("expired") << "expired" << QString() << FileError;
    QTest::newRow("pinned authority") << "other-authority-server"
                                      << "other-authority" << Ready;
    QTest::newRow("pinned, another authority the system trusts") << "trusted"
                                                                 << "other-authority" << FileError;
}

void tst_UpdateFW::https()
{
    QFETCH(QString, certificate);
    QFETCH(QString, pinnedAuthority);
    QFETCH(Outcome, outcome);

    FirmwareServer server;
    QVERIFY(server.start(served.path(),
                         {"--tls-cert", certificates.filePath(certificate + ".pem"), "--tls-key",
                          certificates.filePath("server.key")}));
    QVERIFY(server.baseUrl().startsWith("https://"));

    UpdateFW fw;
    fw.setBaseUrl(server.baseUrl());
    if (!pinnedAuthority.isEmpty())
        fw.setPinnedAuthority(readFile(certificates.filePath(pinnedAuthority + ".pem")));
    const CheckRun run = runCheck(fw, {outcome != Ready});
    verifyRun(run, outcome, server.baseUrl(), "K-DMX-47-12.ghx", imageMd5);
    if (QTest::currentTestFailed())
        return;

    if (outcome == Ready) {
        QCOMPARE(server.requestedPaths(),
                 QStringList({remoteDir + "version.txt", remoteDir + "K-DMX-47-12.ghx"}));
    } else {
        // Refused at the handshake: nothing was asked, and the previous run's
        // image stands untouched.
        QVERIFY(server.requestedPaths().isEmpty());
        QVERIFY(fw.verifiedDigest().isEmpty());
    }
    QCOMPARE(readFile(imageLocalPath()), image);
}

void tst_UpdateFW::unusableTempDir_data()
{
    QTest::addColumn<QString>("tmpdir");

    QTest::newRow("missing") << privateTemp.filePath("no-such-folder");
    QTest::newRow("not a directory") << privateTemp.filePath("a-file");
}

void tst_UpdateFW::unusableTempDir()
{
    QFETCH(QString, tmpdir);

    QVERIFY(writeFile(privateTemp.filePath("a-file"), "not a folder"));
    const QByteArray usableTemp = qgetenv("TMPDIR");
    const auto restoreTemp = qScopeGuard([&] { qputenv("TMPDIR", usableTemp); });
    qputenv("TMPDIR", QFile::encodeName(tmpdir));
    const QStringList strays = {"/fw_version.txt", "/hello_Update.ghx"};
    QList<bool> strayExisted;
    for (const QString &stray : strays)
        strayExisted << QFile::exists(stray);

    FirmwareServer server;
    QVERIFY(server.start(served.path()));
    UpdateFW fw;
    fw.setBaseUrl(server.baseUrl());
    const CheckRun run = runCheck(fw, {});

    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.events, QStringList({"notice", "closed", "quit"}));
    QCOMPARE(run.debug, QStringList({"file error"}));
    QVERIFY(server.requestedPaths().isEmpty());
    for (int i = 0; i < strays.size(); ++i)
        QCOMPARE(QFile::exists(strays.at(i)), strayExisted.at(i));
}

void tst_UpdateFW::failureReason_data()
{
    // The server's switches ("down": stopped before the check), the version
    // file it serves (null: init()'s valid one), what stands in the way
    // locally, the signature it serves beside the image to a build with the
    // maker's keys (empty: a build without keys), and the reason with a
    // detail it must name.
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<QByteArray>("versionFile");
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("signature");
    QTest::addColumn<UpdateFW::Failure>("failure");
    QTest::addColumn<QString>("detail");

    const QByteArray valid;
    const QStringList expired = {"--tls-cert", certificates.filePath("expired.pem"), "--tls-key",
                                 certificates.filePath("server.key")};
    QTest::newRow("temporary folder unusable")
        << QStringList() << valid << "no temporary folder" << QString() << UpdateFW::TempDirUnusable
        << "no-such-folder";
    QTest::newRow("server unreachable") << QStringList("down") << valid << QString() << QString()
                                        << UpdateFW::ServerUnreachable << "Connection refused";
    QTest::newRow("connection cut mid-image")
        << QStringList({"--truncate-image", "7"}) << valid << QString() << QString()
        << UpdateFW::ConnectionCut << "connection cut: the firmware server's answer broke off: ";
    QTest::newRow("certificate refused")
        << expired << valid << QString() << QString() << UpdateFW::CertificateRefused << "expired";
    QTest::newRow("HTTP status") << QStringList({"--status-version", "404"}) << valid << QString()
                                 << QString() << UpdateFW::HttpStatus << "HTTP status 404";
    QTest::newRow("no answer in time")
        << QStringList({"--delay-version", "8000"}) << valid << QString() << QString()
        << UpdateFW::NoAnswerInTime << "within 5 s";
    QTest::newRow("version file malformed")
        << QStringList() << QByteArray("<html>\r\n") << QString() << QString()
        << UpdateFW::VersionFileMalformed << "got \"<html>";
    QTest::newRow("image digest mismatch")
        << QStringList() << "12 " + aMd5 << QString() << QString() << UpdateFW::DigestMismatch
        << QString("has MD5 %1, the version file announced %2").arg(imageMd5, aMd5);
    QTest::newRow("file not writable")
        << QStringList() << valid << "folder at the version file" << QString()
        << UpdateFW::FileNotWritable << "fw_version.txt";
    // Each file is cut off at its limit, whether it says it is longer or
    // never ends; a signature is asked for by a build with the maker's keys.
    struct Limit
    {
        const char *file;
        // fwserver.py's name for it.
        const char *kind;
        const char *name;
        qint64 bytes;
    };
    for (const Limit &limit : {Limit {"version file", "version", "a version file's", 4096},
                               Limit {"image", "image", "the device's", 216064},
                               Limit {"signature", "signature", "a signature's", 16384}}) {
        const QStringList endless = {"--endless", limit.kind};
        const QString signature = qstrcmp(limit.kind, "signature") == 0 ? "signed" : QString();
        QTest::addRow("%s without end", limit.file)
            << endless << valid << QString() << signature << UpdateFW::FileTooLarge
            << QStringLiteral("sent at least %1 bytes, more than %2 %3")
                   .arg(limit.bytes + 1)
                   .arg(limit.name)
                   .arg(limit.bytes);
        QTest::addRow("%s announcing more than its limit", limit.file)
            << endless + QStringList {"--declare-length", "1000000"} << valid << QString()
            << signature << UpdateFW::FileTooLarge
            << QStringLiteral("announces 1000000 bytes, more than %1 %2")
                   .arg(limit.name)
                   .arg(limit.bytes);
    }

    // A forged image passes its MD5, rewritten to match; only the signature
    // tells it from the maker's.
    const QByteArray forged = "message digest, forged";
    const QByteArray forgedVersion
        = "12 " + QCryptographicHash::hash(forged, QCryptographicHash::Md5).toHex() + "\n";
    QTest::newRow("signature missing") << QStringList() << valid << QString() << "missing"
                                       << UpdateFW::SignatureMissing << "HTTP status 404";
    QTest::newRow("signature malformed") << QStringList() << valid << QString() << "malformed"
                                         << UpdateFW::SignatureMalformed << "four lines";
    QTest::newRow("signature by another key") << QStringList() << valid << QString() << "stranger"
                                              << UpdateFW::SignatureKeyUnknown << "holds only";
    QTest::newRow("signature of the legacy kind")
        << QStringList() << valid << QString() << "legacy" << UpdateFW::SignatureMalformed
        << "legacy kind (Ed)";
    QTest::newRow("trusted comment altered")
        << QStringList() << valid << QString() << "comment altered" << UpdateFW::SignatureInvalid
        << "its trusted comment is not the one key";
    QTest::newRow("version 11's signature renamed for 12")
        << QStringList() << valid << QString() << "version 11" << UpdateFW::SignatureMismatch
        << "does not say \"file:K-DMX-47-12.ghx version:12 model:TPX-KLN04\"";
    QTest::newRow("signature for another model")
        << QStringList() << valid << QString() << "another model" << UpdateFW::SignatureMismatch
        << "signature names another file, version or model: ";
    QTest::newRow("image forged, its MD5 rewritten")
        << QStringList() << forgedVersion << QString() << "forged image"
        << UpdateFW::SignatureInvalid << "the image is not the one key";
}

void tst_UpdateFW::failureReason()
{
    QFETCH(QStringList, switches);
    QFETCH(QByteArray, versionFile);
    QFETCH(QString, obstacle);
    QFETCH(QString, signature);
    QFETCH(UpdateFW::Failure, failure);
    QFETCH(QString, detail);

    if (!versionFile.isNull())
        QVERIFY(writeFile(served.filePath("data/hello/TPX-KLN04/version.txt"), versionFile));
    const QByteArray usableTemp = qgetenv("TMPDIR");
    const auto restore = qScopeGuard([&] {
        qputenv("TMPDIR", usableTemp);
        QDir(versionLocalPath()).removeRecursively();
    });
    if (obstacle == "no temporary folder") {
        qputenv("TMPDIR", QFile::encodeName(privateTemp.filePath("no-such-folder")));
    } else if (obstacle == "folder at the version file") {
        QVERIFY(QFile::remove(versionLocalPath()));
        QVERIFY(QDir().mkpath(versionLocalPath() + "/inside"));
    }
    const QString imagePath = served.filePath("data/hello/TPX-KLN04/K-DMX-47-12.ghx");
    const QString signaturePath = imagePath + ".minisig";
    if (signature == "malformed") {
        QVERIFY(writeFile(signaturePath, "untrusted comment: signature\nRWQ=\n"));
    } else if (!signature.isEmpty() && signature != "missing") {
        const MinisignKey &key = signature == "stranger" ? strangerKey : makerKey;
        QString comment = MinisignKey::comment(signature == "version 11" ? 11 : 12);
        if (signature == "another model")
            comment.replace("model:TPX-KLN04", "model:TPX-KLN05");
        QVERIFY(key.sign(imagePath, signaturePath, comment, signature == "legacy"));
        if (signature == "comment altered") {
            QByteArray content = readFile(signaturePath);
            content.replace("version:12", "version:13");
            QVERIFY(writeFile(signaturePath, content));
        } else if (signature == "forged image") {
            QVERIFY(
                writeFile(imagePath, "message digest, forged")); // as the row's version file says
        }
    }
    const bool down = switches == QStringList("down");
    FirmwareServer server;
    QVERIFY(server.start(served.path(), down ? QStringList() : switches));
    if (down)
        server.stop();

    UpdateFW fw;
    fw.setBaseUrl(server.baseUrl());
    if (!signature.isEmpty())
        fw.setSigningKeys({successorKey.publicKey(), makerKey.publicKey()});
    const CheckRun run = runCheck(fw, {});

    QCOMPARE(run.failures, QList<UpdateFW::Failure>({failure}));
    QVERIFY2(fw.errorString().contains(detail), qPrintable(fw.errorString()));
}

void tst_UpdateFW::versionsOnlyGoForward_data()
{
    QTest::addColumn<bool>("keysHeld");
    QTest::addColumn<bool>("fromBundle");
    // The record before the check; {server} stands for the test server's
    // address, and an empty record for none.
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<bool>("olderAllowed");
    QTest::addColumn<int>("failure"); // -1: none
    QTest::addColumn<QString>("detail");
    // The version the record holds for the test server afterwards.
    QTest::addColumn<int>("recordedAfter");

    const auto recording = [](const QByteArray &server, const QByteArray &model, int version) {
        return R"({"highest verified versions": [{"server": ")" + server + R"(", "model": ")"
            + model + R"(", "version": )" + QByteArray::number(version) + "}]}";
    };
    const QByteArray thirteen = recording("{server}", "TPX-KLN04", 13);
    const int older = UpdateFW::OlderThanVerified;
    const int unusable = UpdateFW::VersionRecordUnusable;
    const QString olderText = "K-DMX-47-12.ghx is version 12, older than version 13, which this "
                              "PC has already verified";
    QTest::newRow("no version verified before")
        << true << false << QByteArray() << false << -1 << QString() << 12;
    QTest::newRow("newer than the one verified")
        << true << false << recording("{server}", "TPX-KLN04", 11) << false << -1 << QString()
        << 12;
    QTest::newRow("the same version again")
        << true << false << recording("{server}", "TPX-KLN04", 12) << false << -1 << QString()
        << 12;
    QTest::newRow("older than the one verified")
        << true << false << thirteen << false << older << olderText << 13;
    QTest::newRow("older, allowed") << true << false << thirteen << true << -1 << QString() << 13;
    QTest::newRow("bundle older than the one verified")
        << true << true << thirteen << false << older << olderText << 13;
    QTest::newRow("bundle older, allowed")
        << true << true << thirteen << true << -1 << QString() << 13;
    QTest::newRow("another server's newer version")
        << true << false << recording("http://127.0.0.2/data", "TPX-KLN04", 13) << false << -1
        << QString() << 12;
    QTest::newRow("another model's newer version")
        << true << false << recording("{server}", "TPX-KLN05", 13) << false << -1 << QString()
        << 12;
    QTest::newRow("record cut short") << true << false << thirteen.chopped(3) << false << unusable
                                      << "verified-versions.json is damaged (" << -1;
    QTest::newRow("record of another shape")
        << true << false << QByteArray(R"({"highest verified versions": 13})") << false << unusable
        << "holds no list" << -1;
    QTest::newRow("record with a fractional version")
        << true << false << QByteArray(thirteen).replace("13", "12.5") << false << unusable
        << "an entry is not" << -1;
    QTest::newRow("no keys: nothing judged, nothing recorded")
        << false << false << thirteen << false << -1 << QString() << 13;
}

// Seen through a build that holds the maker's keys: a signature binds an image
// to its version only, so an older image the maker once signed is refused.
void tst_UpdateFW::versionsOnlyGoForward()
{
    QFETCH(bool, keysHeld);
    QFETCH(bool, fromBundle);
    QFETCH(QByteArray, record);
    QFETCH(bool, olderAllowed);
    QFETCH(int, failure);
    QFETCH(QString, detail);
    QFETCH(int, recordedAfter);

    const QString recordPath = privateTemp.filePath("data/ql7420-fwupdate/verified-versions.json");
    const QString served12 = served.filePath("data/hello/TPX-KLN04/K-DMX-47-12.ghx");
    QVERIFY(makerKey.sign(served12, served12 + ".minisig", MinisignKey::comment(12)));
    FirmwareServer server;
    QVERIFY(server.start(served.path()));
    if (!record.isEmpty())
        QVERIFY(writeFile(recordPath, record.replace("{server}", server.baseUrl().toUtf8())));

    UpdateFW fw;
    fw.setBaseUrl(server.baseUrl());
    if (keysHeld)
        fw.setSigningKeys({makerKey.publicKey()});
    fw.setOlderAllowed(olderAllowed);
    CheckRun run;
    if (fromBundle) {
        QTemporaryDir bundle;
        for (const char *name : {"version.txt", "K-DMX-47-12.ghx", "K-DMX-47-12.ghx.minisig"})
            QVERIFY(QFile::copy(served.filePath("data/hello/TPX-KLN04/") + name,
                                bundle.filePath(name)));
        QSignalSpy failed(&fw, &UpdateFW::failed);
        fw.checkBundle(bundle.path(), UpdateFW::ImageLimit);
        for (const QList<QVariant> &arguments : std::as_const(failed))
            run.failures << arguments.at(0).value<UpdateFW::Failure>();
    } else {
        run = runCheck(fw, {failure >= 0});
    }

    if (failure < 0) {
        QVERIFY2(run.failures.isEmpty(), qPrintable(fw.errorString()));
        QCOMPARE(fw.newerVersionVerified(), olderAllowed ? 13 : 0);
    } else {
        QCOMPARE(run.failures, QList<UpdateFW::Failure>({UpdateFW::Failure(failure)}));
        QVERIFY2(fw.errorString().contains(detail), qPrintable(fw.errorString()));
    }
    if (recordedAfter < 0) {
        QCOMPARE(readFile(recordPath), record);
        return;
    }
    int recorded = 0;
    QString reason;
    QVERIFY(HighestVerifiedVersion(server.baseUrl(), "TPX-KLN04").read(&recorded, &reason));
    QCOMPARE(recorded, recordedAfter);
}

bool tst_UpdateFW::publish(const QStringList &arguments, QByteArray *errors)
{
    QProcess publisher;
    publisher.start("python3", QStringList {TOOLS_DIR "/publish-firmware.py"} + arguments);
    if (!publisher.waitForFinished(20000))
        return false;
    if (errors)
        *errors = publisher.readAllStandardError();
    return publisher.exitStatus() == QProcess::NormalExit && publisher.exitCode() == 0;
}

void tst_UpdateFW::publishedRelease_data()
{
    QTest::addColumn<bool>("plainStaticServer");
    // Whether the publisher signs the release, and which keys the check
    // holds: none, or the maker's and the next one.
    QTest::addColumn<bool>("signedRelease");
    QTest::addColumn<bool>("keysHeld");
    // What OUTDIR holds already: another image published as version 12 with
    // a signature, or as version 13.
    QTest::addColumn<QString>("earlier");

    QTest::newRow("test firmware server") << false << false << false << QString();
    QTest::newRow("python3 -m http.server") << true << false << false << QString();
    QTest::newRow("signed, build without keys") << false << true << false << QString();
    QTest::newRow("signed with the second of two keys") << true << true << true << QString();
    QTest::newRow("unsigned over a signed one") << false << false << false << "signed 12";
    QTest::newRow("older, --allow-older") << false << false << false << "13";
}

void tst_UpdateFW::publishedRelease()
{
    QFETCH(bool, plainStaticServer);
    QFETCH(bool, signedRelease);
    QFETCH(bool, keysHeld);
    QFETCH(QString, earlier);

    // A full-size image (3376 blocks of 64 bytes); its digest by Python's hashlib.
    QByteArray release;
    for (int i = 0; i < 3376 * 64; ++i)
        release.append(char(i * 7 + i / 256));
    const QByteArray releaseMd5 = "d58548acfe5ff86eebcc67c47e057c20";

    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString imageFile = work.filePath("release.bin");
    const QString outDir = work.filePath("www");
    QVERIFY(writeFile(imageFile, release));
    QStringList publisherOptions;
    if (!earlier.isEmpty()) {
        const bool signedEarlier = earlier.startsWith("signed");
        const QString earlierFile = work.filePath("earlier.bin");
        QVERIFY(writeFile(earlierFile, "an earlier build"));
        QVERIFY(publish(QStringList {earlierFile, earlier.section(' ', -1), outDir}
                        + (signedEarlier ? makerKey.publisherSigning() : QStringList())));
        if (!signedEarlier)
            publisherOptions << "--allow-older";
    }
    // Checked against the keys of a key change, the first not the signer's.
    if (signedRelease)
        publisherOptions << "--public-key" << makerKey.publicKeyPath()
                         << successorKey.publisherSigning();
    QVERIFY(publish(QStringList {imageFile, "12", outDir} + publisherOptions));
    QCOMPARE(readFile(outDir + "/data/hello/TPX-KLN04/version.txt"), "12 " + releaseMd5 + "\n");
    QCOMPARE(readFile(outDir + "/data/hello/TPX-KLN04/K-DMX-47-12.ghx"), release);
    QCOMPARE(QFileInfo::exists(outDir + "/data/hello/TPX-KLN04/K-DMX-47-12.ghx.minisig"),
             signedRelease);

    FirmwareServer firmwareServer;
    QProcess staticServer;
    QString baseUrl;
    if (plainStaticServer) {
        staticServer.start(
            "python3",
            {"-u", "-m", "http.server", "--bind", "127.0.0.1", "--directory", outDir, "0"});
        QVERIFY(staticServer.waitForStarted(10000));
        const QRegularExpression announcement("port (\\d+)");
        QByteArray output;
        QRegularExpressionMatch match;
        while (!(match = announcement.match(QString::fromLatin1(output))).hasMatch()) {
            QVERIFY(staticServer.waitForReadyRead(10000));
            output += staticServer.readAllStandardOutput();
        }
        baseUrl = "http://127.0.0.1:" + match.captured(1) + "/data";
    } else {
        QVERIFY(firmwareServer.start(outDir));
        baseUrl = firmwareServer.baseUrl();
    }

    UpdateFW fw;
    fw.setBaseUrl(baseUrl);
    if (keysHeld)
        fw.setSigningKeys({makerKey.publicKey(), successorKey.publicKey()});
    RunOptions options;
    options.untilQuit = false;
    const CheckRun run = runCheck(fw, options);
    if (plainStaticServer) {
        staticServer.terminate();
        staticServer.waitForFinished(5000);
    }

    // The signature is fetched last, once the image has matched its MD5.
    CheckRun seen = run;
    if (keysHeld) {
        QCOMPARE(
            seen.debug.mid(8),
            QStringList({quoted(imageLocalPath() + ".minisig"),
                         quoted(baseUrl + "/hello/TPX-KLN04/K-DMX-47-12.ghx.minisig"), "onDone"}));
        seen.debug = seen.debug.mid(0, 8);
    }
    verifyRun(seen, Ready, baseUrl, "K-DMX-47-12.ghx", releaseMd5);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(readFile(imageLocalPath()), release);
    QCOMPARE(fw.verifiedDigest(), QString::fromLatin1(releaseMd5));
    QCOMPARE(fw.signedImageHash().isEmpty(), !keysHeld);
    // A build without keys asks for the version file and the image, and
    // for nothing else, whatever the server holds.
    if (!plainStaticServer)
        QCOMPARE(firmwareServer.requestedPaths(),
                 QStringList({remoteDir + "version.txt", remoteDir + "K-DMX-47-12.ghx"}));
}

void tst_UpdateFW::publisherRefusesBadInput_data()
{
    QTest::addColumn<QString>("imageName");
    QTest::addColumn<QByteArray>("imageContent");
    QTest::addColumn<QString>("version");
    // How the image is signed and checked, or what OUTDIR holds already;
    // and what the refusal must say.
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QByteArray>("reason");

    QTest::newRow("missing image")
        << "missing.bin" << QByteArray() << "12" << QString() << QByteArray();
    QTest::newRow("empty image") << "empty.bin" << QByteArray("") << "12" << QString()
                                 << QByteArray();
    QTest::newRow("negative version") << "image.bin" << image << "-1" << QString() << QByteArray();
    QTest::newRow("signed version") << "image.bin" << image << "+12" << QString() << QByteArray();
    QTest::newRow("version beyond int")
        << "image.bin" << image << "2147483648" << QString() << QByteArray();
    QTest::newRow("version not a number")
        << "image.bin" << image << "twelve" << QString() << QByteArray();
    QTest::newRow("version with blanks")
        << "image.bin" << image << " 12" << QString() << QByteArray();
    QTest::newRow("legacy signature")
        << "image.bin" << image << "12"
        << "legacy" << QByteArray("Legacy (non-prehashed) signature found");
    QTest::newRow("signature for another image")
        << "image.bin" << image << "12"
        << "another image" << QByteArray("Signature verification failed");
    QTest::newRow("signature by another key")
        << "image.bin" << image << "12"
        << "another key" << QByteArray("but the key id in the public key is");
    QTest::newRow("signed without --public-key")
        << "image.bin" << image << "12"
        << "no public key"
        << QByteArray("error: a signature is published only with --public-key FILE");
    QTest::newRow("older than the one published")
        << "image.bin" << image << "12"
        << "13 published"
        << QByteArray("error: version 12 is lower than version 13, already published in");
}

void tst_UpdateFW::publisherRefusesBadInput()
{
    QFETCH(QString, imageName);
    QFETCH(QByteArray, imageContent);
    QFETCH(QString, version);
    QFETCH(QString, situation);
    QFETCH(QByteArray, reason);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    if (!imageContent.isNull())
        QVERIFY(writeFile(work.filePath(imageName), imageContent));
    const QString outDir = work.filePath("www");

    QStringList options;
    if (situation == "13 published") {
        QVERIFY(writeFile(outDir + "/data/hello/TPX-KLN04/K-DMX-47-13.ghx", image));
    } else if (situation == "no public key") {
        options << "--minisign-key" << makerKey.secretKeyPath();
    } else if (!situation.isEmpty()) {
        QString signedFile = work.filePath(imageName);
        if (situation == "another image")
            QVERIFY(writeFile(signedFile = work.filePath("another.bin"), "another image"));
        const MinisignKey &key = situation == "another key" ? strangerKey : makerKey;
        const QString signature = work.filePath("signature");
        QVERIFY(key.sign(signedFile, signature, MinisignKey::comment(12), situation == "legacy"));
        options << "--signature" << signature << "--public-key" << makerKey.publicKeyPath();
    }
    const auto listing = [&] {
        QStringList files;
        for (QDirIterator it(work.path(), QDir::AllEntries | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
             it.hasNext();)
            files << it.next();
        files.sort();
        return files;
    };
    const QStringList before = listing();

    QByteArray errors;
    QVERIFY(!publish(QStringList {work.filePath(imageName), version, outDir} + options, &errors));
    QVERIFY2(errors.contains("error:") && errors.contains(reason), errors.constData());
    QCOMPARE(listing(), before);
}

QTEST_MAIN(tst_UpdateFW)
#include "tst_updatefw.moc"
