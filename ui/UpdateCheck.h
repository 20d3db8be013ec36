// The update check: once per start (when ShowUpdates is on) a background
// thread downloads the publisher's small version file over HTTPS, compares the
// newest published version of this program with the running one and, when
// there is something newer, the window offers to open the product's page.
// Every failure is silent: after three failed attempts the check gives up.
#pragma once

#include "foundation/Options.h"
#include "ui/AppInfo.h"

#include <QByteArray>
#include <QCheckBox>
#include <QDialog>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QSslCertificate>
#include <QString>
#include <QThread>
#include <QUrl>

#include <functional>
#include <string_view>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace vorn::ui {

// The largest version file that is read; a larger one is refused.
inline constexpr qint64 kMaxVersionFileBytes = 64 * 1024;

// The section of the version file that describes this program on this platform.
const char* updateSection();
// The address of the version file: the environment variable VORN_UPDATE_URL
// when set, else the build setting.
QUrl updateUrl();

// What the version file says about this program.
struct UpdateInfo {
    AppVersion running;
    AppVersion latest;
    QString updatePage;
    QString upgradePage;
    QString updateDownload;
    QString upgradeDownload;

    // A higher major version is published.
    bool upgradeAvailable() const;
    // The same major version with a higher (minor, build).
    bool updateAvailable() const;
    // The question for the user, or an empty text when there is nothing newer.
    QString message() const;
    // The page that describes what is offered.
    QUrl page() const;
};

// "2.0.3" as (2, 0, 3): a part that does not begin with a digit counts as 0,
// missing parts are 0, very long numbers saturate.
AppVersion parseVersion(std::string_view text);

// Reads the section's keys from a downloaded version file into info. False
// when the file cannot be read or the section or one of the keys is missing.
bool readVersionFile(const QString& path, const char* section, UpdateInfo& info);

// The checker. It lives on its own thread (see CUpdateThread) and talks to the
// window only through its signals.
class CUpdateCheck : public QObject {
    Q_OBJECT
public:
    explicit CUpdateCheck(QObject* parent = nullptr);
    ~CUpdateCheck() override;

    // Settings, to be made before run().
    QUrl url;
    QString localPath;               // where the version file is kept
    AppVersion running;
    int firstDelayMs = 10 * 1000;    // before the first attempt
    int retryDelayMs = 300 * 1000;   // after a failed attempt, and while an export runs
    int attemptTimeoutMs = 30 * 1000;
    int maxAttempts = 3;
    std::function<bool()> isExporting;
    // Extra trusted certificate authorities (tests use a self-signed server).
    QList<QSslCertificate> extraCaCertificates;

    int attempts() const { return m_failures; }
    int downloads() const { return m_downloads; }

public slots:
    void run();

signals:
    // There is something newer: the message to show and the page to open.
    void updateOffered(const QString& message, const QUrl& page);
    // The check has ended (offered, nothing newer, or given up).
    void finished();

private:
    void scheduleAttempt(int delayMs);
    void attempt();
    void startDownload();
    void downloadEnded(QNetworkReply* reply);
    void evaluate();
    void attemptFailed(const char* why);

    QNetworkAccessManager* m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    QTimer* m_attemptTimer = nullptr;
    QByteArray m_data;
    bool m_tooLarge = false;
    bool m_downloaded = false;
    bool m_done = false;
    int m_failures = 0;
    int m_downloads = 0;
};

// Runs a CUpdateCheck on its own thread and stops it when destroyed.
class CUpdateThread : public QObject {
    Q_OBJECT
public:
    // Takes the checker; it is moved to the new thread and started there.
    explicit CUpdateThread(CUpdateCheck* check, QObject* parent = nullptr);
    ~CUpdateThread() override;
    bool isRunning() const { return m_thread.isRunning(); }
    CUpdateCheck* check() const { return m_check; }

private:
    QThread m_thread;
    CUpdateCheck* m_check;
};

// The notice "Update Available".
class CUpdateDialog : public QDialog {
    Q_OBJECT
public:
    explicit CUpdateDialog(const QString& message, QWidget* parent = nullptr);
    QCheckBox* dontNotify = nullptr;
    QPushButton* yesButton = nullptr;
    QPushButton* noButton = nullptr;
    // Whether to keep notifying, as the check box says.
    bool keepNotifying() const { return !dontNotify->isChecked(); }
};

// Shows the notice; on "Yes" opens the page; however the notice was closed,
// ShowUpdates follows its check box and the options are saved. Returns the
// new ShowUpdates.
bool answerUpdateOffer(const QString& message, const QUrl& page, COptions& options);

} // namespace vorn::ui
