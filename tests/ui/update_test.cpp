// The update check against a loopback HTTPS server with a certificate made by
// the test, the version comparison, and the notice's answers.
#include "foundation/Options.h"
#include "ui/AppInfo.h"
#include "ui/UpdateCheck.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QProcess>
#include <QSignalSpy>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>

using namespace vorn::ui;

namespace {

// Answers every GET with the same status and body; counts the requests.
class TestServer : public QObject {
    Q_OBJECT
public:
    int status = 200;
    QByteArray body;
    bool silent = false; // accept and never answer
    int requests = 0;
    QSslServer server;

    bool start(const QSslCertificate& cert, const QSslKey& key)
    {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(cert);
        config.setPrivateKey(key);
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        server.setSslConfiguration(config);
        connect(&server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (auto* socket = qobject_cast<QSslSocket*>(server.nextPendingConnection()))
                serve(socket);
        });
        return server.listen(QHostAddress::LocalHost);
    }
    QUrl url(const char* scheme = "https") const
    {
        return QUrl(QStringLiteral("%1://localhost:%2/vorn/versions.txt")
                        .arg(QString::fromLatin1(scheme)).arg(server.serverPort()));
    }

private:
    void serve(QSslSocket* socket)
    {
        auto* request = new QByteArray;
        connect(socket, &QSslSocket::disconnected, socket, [socket, request] {
            delete request;
            socket->deleteLater();
        });
        connect(socket, &QSslSocket::readyRead, socket, [this, socket, request] {
            *request += socket->readAll();
            if (!request->contains("\r\n\r\n") || silent)
                return;
            ++requests;
            request->clear();
            QByteArray reply = "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Error")
                + "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size())
                + "\r\nConnection: close\r\n\r\n" + body;
            socket->write(reply);
            socket->disconnectFromHost();
        });
    }
};

QByteArray versionFile(const char* section, const char* latest, bool withAllKeys = true)
{
    QByteArray text = "[QuintellVornWindows]\r\nLatest=9.9.9\r\nUpdatePage=https://wrong.example/\r\n";
    text += "[" + QByteArray(section) + "]\r\nLatest=" + latest + "\r\n";
    text += "UpdatePage=https://quintell.example/vorn/update.html\r\n";
    text += "UpgradePage=https://quintell.example/vorn/upgrade.html\r\n";
    text += "UpdateDownload=https://quintell.example/vorn/update.deb\r\n";
    if (withAllKeys)
        text += "UpgradeDownload=https://quintell.example/vorn/upgrade.deb\r\n";
    text += "[OtherProduct]\r\nLatest=1.0.0\r\n";
    return text;
}

// Answers the next modal update notice: ticks "Don't notify" if asked and
// presses Yes, No, or closes it with Escape.
enum class Answer { Yes, No, Escape };
void answerNextNotice(Answer answer, bool dontNotify, QString* seenMessage = nullptr, QString* seenTitle = nullptr)
{
    QTimer::singleShot(0, [=] {
        auto* dialog = qobject_cast<CUpdateDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            answerNextNotice(answer, dontNotify, seenMessage, seenTitle);
            return;
        }
        if (seenMessage)
            *seenMessage = dialog->findChild<QLabel*>(QStringLiteral("message"))->text();
        if (seenTitle)
            *seenTitle = dialog->windowTitle();
        dialog->dontNotify->setChecked(dontNotify);
        if (answer == Answer::Yes)
            dialog->yesButton->click();
        else if (answer == Answer::No)
            dialog->noButton->click();
        else
            dialog->reject();
    });
}

} // namespace

class UpdateCheckTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QSslCertificate m_cert;
    QSslKey m_key;
    std::unique_ptr<TestServer> m_server;
    QList<QUrl> m_opened;

    // A checker with no waits, trusting the test's certificate.
    std::unique_ptr<CUpdateCheck> makeCheck(AppVersion running = {2, 0, 2})
    {
        auto check = std::make_unique<CUpdateCheck>();
        check->url = m_server->url();
        check->localPath = m_dir.filePath(QStringLiteral("Data/versions.txt"));
        QFile::remove(check->localPath);
        check->running = running;
        check->firstDelayMs = 0;
        check->retryDelayMs = 0;
        check->attemptTimeoutMs = 2000;
        check->extraCaCertificates = {m_cert};
        return check;
    }
    // Runs a check to its end; returns the offers it made.
    QList<QList<QVariant>> runToEnd(CUpdateCheck& check)
    {
        QSignalSpy offers(&check, &CUpdateCheck::updateOffered);
        QSignalSpy finished(&check, &CUpdateCheck::finished);
        check.run();
        if (finished.isEmpty())
            finished.wait(30000);
        [&] { QCOMPARE(finished.size(), 1); }();
        return offers;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(QSslSocket::supportsSsl(), "Qt has no TLS backend");
        const QString key = m_dir.filePath(QStringLiteral("key.pem"));
        const QString cert = m_dir.filePath(QStringLiteral("cert.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
                       "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
        QVERIFY2(openssl.waitForFinished(60000) && openssl.exitCode() == 0, "openssl could not make a certificate");
        QFile c(cert), k(key);
        QVERIFY(c.open(QIODevice::ReadOnly) && k.open(QIODevice::ReadOnly));
        m_cert = QSslCertificate(&c, QSsl::Pem);
        m_key = QSslKey(&k, QSsl::Rsa, QSsl::Pem);
        QVERIFY(!m_cert.isNull() && !m_key.isNull());
        setPageOpener([this](const QUrl& url) { m_opened << url; });
    }
    void init()
    {
        m_server = std::make_unique<TestServer>();
        QVERIFY(m_server->start(m_cert, m_key));
        m_opened.clear();
    }

    void versionComparison_data()
    {
        QTest::addColumn<QString>("running");
        QTest::addColumn<QString>("latest");
        QTest::addColumn<QString>("kind");
        QTest::newRow("upgrade") << "2.0.2" << "3.0.0" << "upgrade";
        QTest::newRow("update minor") << "2.0.2" << "2.1.0" << "update";
        QTest::newRow("update build") << "2.0.2" << "2.0.3" << "update";
        QTest::newRow("minor wins over build") << "2.1.0" << "2.0.5" << "";
        QTest::newRow("same") << "2.0.2" << "2.0.2" << "";
        QTest::newRow("older major") << "2.0.2" << "1.9.9" << "";
        QTest::newRow("major 0 is no upgrade") << "0.1.0" << "0.2.0" << "update";
        QTest::newRow("non-digit parts count 0") << "2.0.2" << "2.x1.7" << "update";
        QTest::newRow("missing parts") << "2.0.2" << "3" << "upgrade";
        QTest::newRow("huge number saturates") << "2.0.2" << "2.0.99999999999999999999" << "update";
    }
    void versionComparison()
    {
        QFETCH(QString, running);
        QFETCH(QString, latest);
        QFETCH(QString, kind);
        UpdateInfo info;
        info.running = parseVersion(running.toStdString());
        info.latest = parseVersion(latest.toStdString());
        QCOMPARE(info.upgradeAvailable(), kind == QLatin1String("upgrade"));
        QCOMPARE(info.updateAvailable(), kind == QLatin1String("update"));
        QCOMPARE(info.message().isEmpty(), kind.isEmpty());
    }

    void checkAgainstServer_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("running");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("page");
        QTest::addColumn<int>("failures");
        const QByteArray section = updateSection();
        QTest::newRow("upgrade") << versionFile(section, "3.0.0") << "2.0.2"
            << "There is an upgrade available for your program.\nYou are using version 2.0.2\n"
               "Version 3.0.0 is now available.\nWould you like more information?"
            << "https://quintell.example/vorn/upgrade.html" << 0;
        QTest::newRow("update") << versionFile(section, "2.1.0") << "2.0.2"
            << "There is an update available for your program.\nYou are using version 2.0.2\n"
               "Version 2.1.0 is now available.\nWould you like more information?"
            << "https://quintell.example/vorn/update.html" << 0;
        QTest::newRow("nothing newer") << versionFile(section, "2.0.5") << "2.1.0" << "" << "" << 0;
        // An incomplete file is downloaded once and then read again on each attempt.
        QTest::newRow("missing section") << versionFile("QuintellVornMac", "3.0.0") << "2.0.2" << "" << "" << 3;
        QTest::newRow("missing key") << versionFile(section, "3.0.0", false) << "2.0.2" << "" << "" << 3;
        QTest::newRow("garbage") << QByteArray("\x00\xff[[[]]]==\n\n=", 14) << "2.0.2" << "" << "" << 3;
    }
    void checkAgainstServer()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, running);
        QFETCH(QString, message);
        QFETCH(QString, page);
        QFETCH(int, failures);
        m_server->body = body;
        auto check = makeCheck(parseVersion(running.toStdString()));
        const auto offers = runToEnd(*check);
        QCOMPARE(m_server->requests, 1);
        QCOMPARE(check->attempts(), failures);
        if (message.isEmpty()) {
            QVERIFY(offers.isEmpty());
            return;
        }
        QCOMPARE(offers.size(), 1);
        QCOMPARE(offers[0][0].toString(), message);
        QCOMPARE(offers[0][1].toUrl(), QUrl(page));
        // The downloaded file is kept.
        QFile kept(check->localPath);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), body);
    }

    void failedDownloadsEndSilently_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("bodyBytes");
        QTest::addColumn<bool>("trustServer");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<int>("requests");
        QTest::newRow("not found") << 404 << 10 << true << false << 3;
        QTest::newRow("larger than 64 KiB") << 200 << 64 * 1024 + 1 << true << false << 3;
        QTest::newRow("certificate not trusted") << 200 << 10 << false << false << 0;
        QTest::newRow("no answer (timeout)") << 200 << 10 << true << true << 0;
    }
    void failedDownloadsEndSilently()
    {
        QFETCH(int, status);
        QFETCH(int, bodyBytes);
        QFETCH(bool, trustServer);
        QFETCH(bool, silent);
        QFETCH(int, requests);
        m_server->status = status;
        QByteArray body = versionFile(updateSection(), "3.0.0");
        body += QByteArray(qMax(0, bodyBytes - int(body.size())), ' ');
        m_server->body = body.left(qMax(bodyBytes, int(body.size())));
        m_server->silent = silent;
        auto check = makeCheck();
        check->attemptTimeoutMs = 300;
        if (!trustServer)
            check->extraCaCertificates.clear();
        const auto offers = runToEnd(*check);
        QVERIFY(offers.isEmpty());
        QCOMPARE(check->attempts(), 3);
        QCOMPARE(check->downloads(), 3);
        QCOMPARE(m_server->requests, requests);
        QVERIFY(!QFile::exists(check->localPath));
    }

    void onlyHttpsIsFetched_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::newRow("http") << QUrl(QStringLiteral("http://localhost:1/vorn/versions.txt"));
        QTest::newRow("file") << QUrl(QStringLiteral("file:///etc/hostname"));
        QTest::newRow("no host") << QUrl(QStringLiteral("https:///versions.txt"));
    }
    void onlyHttpsIsFetched()
    {
        QFETCH(QUrl, url);
        auto check = makeCheck();
        check->url = url;
        const auto offers = runToEnd(*check);
        QVERIFY(offers.isEmpty());
        QCOMPARE(check->attempts(), 3);
        QCOMPARE(check->downloads(), 0);
    }

    void runningExportPostponesWithoutCountingAttempts()
    {
        m_server->body = versionFile(updateSection(), "2.0.3");
        auto check = makeCheck();
        int asked = 0;
        check->isExporting = [&asked] { return ++asked <= 5; };
        const auto offers = runToEnd(*check);
        QCOMPARE(asked, 6);
        QCOMPARE(offers.size(), 1);
        QCOMPARE(check->attempts(), 0);
        QCOMPARE(m_server->requests, 1);
    }

    void runsOnItsOwnThread()
    {
        m_server->body = versionFile(updateSection(), "3.1.4");
        auto* check = makeCheck().release();
        QThread* mainThread = QThread::currentThread();
        std::atomic<QThread*> checkThread{nullptr};
        // Connected before the spy, so it has run when the spy has seen the signal.
        connect(check, &CUpdateCheck::updateOffered, check, [&] { checkThread = QThread::currentThread(); },
                Qt::DirectConnection);
        QSignalSpy offers(check, &CUpdateCheck::updateOffered);
        CUpdateThread thread(check);
        QVERIFY(offers.wait(30000));
        QVERIFY(checkThread.load() && checkThread.load() != mainThread);
        QTRY_VERIFY(!thread.isRunning());
    }

    void urlFromEnvironment()
    {
        qputenv("VORN_UPDATE_URL", "https://127.0.0.1:9/x.txt");
        QCOMPARE(updateUrl(), QUrl(QStringLiteral("https://127.0.0.1:9/x.txt")));
        qunsetenv("VORN_UPDATE_URL");
        QCOMPARE(updateUrl(), QUrl(QStringLiteral("https://quintell.example/vorn/versions.txt")));
    }

    void noticeAnswers_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("dontNotify");
        QTest::addColumn<QUrl>("page");
        QTest::addColumn<bool>("opened");
        QTest::addColumn<bool>("showUpdates");
        const QUrl https(QStringLiteral("https://quintell.example/vorn/upgrade.html"));
        QTest::newRow("yes opens the page") << int(Answer::Yes) << false << https << true << true;
        QTest::newRow("yes with an http page") << int(Answer::Yes) << false << QUrl(QStringLiteral("http://quintell.example/u")) << true << true;
        QTest::newRow("yes with a file page") << int(Answer::Yes) << false << QUrl(QStringLiteral("file:///etc/passwd")) << false << true;
        QTest::newRow("yes with a script page") << int(Answer::Yes) << false << QUrl(QStringLiteral("javascript:alert(1)")) << false << true;
        QTest::newRow("no thanks, don't notify") << int(Answer::No) << true << https << false << false;
        QTest::newRow("yes, don't notify") << int(Answer::Yes) << true << https << true << false;
        QTest::newRow("closed") << int(Answer::Escape) << false << https << false << true;
    }
    void noticeAnswers()
    {
        QFETCH(int, answer);
        QFETCH(bool, dontNotify);
        QFETCH(QUrl, page);
        QFETCH(bool, opened);
        QFETCH(bool, showUpdates);
        COptions options;
        const QString path = m_dir.filePath(QStringLiteral("notice-options.txt"));
        QFile::remove(path);
        options.save(path.toUtf8().constData());

        QString title, text;
        answerNextNotice(Answer(answer), dontNotify, &text, &title);
        const QString message = QStringLiteral("There is an update available for your program.");
        QCOMPARE(answerUpdateOffer(message, page, options), showUpdates);
        QCOMPARE(title, QStringLiteral("Update Available"));
        QCOMPARE(text, message);
        QCOMPARE(m_opened, opened ? QList<QUrl>{page} : QList<QUrl>{});
        QCOMPARE(options.getBool(OptionKey::ShowUpdates), showUpdates);
        COptions reread;
        QVERIFY(reread.load(QelString(path.toStdString())));
        QCOMPARE(reread.getBool(OptionKey::ShowUpdates), showUpdates);
    }

    void noticeTexts()
    {
        CUpdateDialog dialog(QStringLiteral("x"));
        QCOMPARE(dialog.dontNotify->text(), QStringLiteral("Don't  notify me again of updates."));
        QCOMPARE(dialog.yesButton->text(), QStringLiteral("Yes,  show  me  more info"));
        QCOMPARE(dialog.noButton->text(), QStringLiteral("No thanks"));
    }
};

QTEST_MAIN(UpdateCheckTest)
#include "update_test.moc"
