#include "ui/UpdateCheck.h"

#include "foundation/Log.h"
#include "foundation/Platform.h"
#include "foundation/QelIniFile.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QSaveFile>
#include <QSslConfiguration>
#include <QTimer>
#include <QVBoxLayout>

#include <limits>

namespace vorn::ui {

const char* updateSection()
{
#ifdef _WIN32
    return "QuintellVornWindows";
#else
    return "QuintellVornLinux";
#endif
}

QUrl updateUrl()
{
    const QByteArray env = qgetenv("VORN_UPDATE_URL");
    return QUrl(env.isEmpty() ? QString::fromLatin1(VORN_UPDATE_URL) : QString::fromUtf8(env));
}

bool UpdateInfo::upgradeAvailable() const
{
    return latest.major != 0 && latest.major > running.major;
}

bool UpdateInfo::updateAvailable() const
{
    if (latest.major != running.major)
        return false;
    if (latest.minor != running.minor)
        return latest.minor > running.minor;
    return latest.build > running.build;
}

QString UpdateInfo::message() const
{
    QString head;
    if (upgradeAvailable())
        head = QStringLiteral("There is an upgrade available for your program.");
    else if (updateAvailable())
        head = QStringLiteral("There is an update available for your program.");
    else
        return {};
    return head + QStringLiteral("\nYou are using version %1.%2.%3\nVersion %4.%5.%6 is now available.\n"
                                 "Would you like more information?")
                      .arg(running.major).arg(running.minor).arg(running.build)
                      .arg(latest.major).arg(latest.minor).arg(latest.build);
}

QUrl UpdateInfo::page() const
{
    return QUrl(upgradeAvailable() ? upgradePage : updatePage);
}

AppVersion parseVersion(std::string_view text)
{
    int parts[3] = {0, 0, 0};
    size_t pos = 0;
    for (int k = 0; k < 3 && pos <= text.size(); ++k) {
        const size_t dot = text.find('.', pos);
        const std::string_view part = text.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        long long value = 0;
        for (char c : part) {
            if (c < '0' || c > '9')
                break;
            value = value * 10 + (c - '0');
            if (value > std::numeric_limits<int>::max()) {
                value = std::numeric_limits<int>::max();
                break;
            }
        }
        parts[k] = static_cast<int>(value);
        if (dot == std::string_view::npos)
            break;
        pos = dot + 1;
    }
    return {parts[0], parts[1], parts[2]};
}

bool readVersionFile(const QString& path, const char* section, UpdateInfo& info)
{
    try {
        QelIniFile file;
        if (!file.read(QelString(path.toUtf8().toStdString())))
            return false;
        auto text = [&](const char* key) { return QString::fromUtf8(file.value(section, key).c_str()); };
        info.latest = parseVersion(file.value(section, "Latest").str());
        info.updatePage = text("UpdatePage");
        info.upgradePage = text("UpgradePage");
        info.updateDownload = text("UpdateDownload");
        info.upgradeDownload = text("UpgradeDownload");
        return true;
    } catch (...) {
        // A missing section or key, or a text the store cannot hold.
        return false;
    }
}

// ---- CUpdateCheck ----

CUpdateCheck::CUpdateCheck(QObject* parent)
    : QObject(parent)
    , url(updateUrl())
    , localPath(QString::fromStdString((vorn::dataDirectory() / "versions.txt").string()))
    , running(appVersion())
{
}

CUpdateCheck::~CUpdateCheck()
{
    if (m_reply)
        m_reply->abort();
}

void CUpdateCheck::run()
{
    m_network = new QNetworkAccessManager(this);
    m_attemptTimer = new QTimer(this);
    m_attemptTimer->setSingleShot(true);
    connect(m_attemptTimer, &QTimer::timeout, this, [this] {
        if (m_reply)
            m_reply->abort(); // ends as a failed download
    });
    scheduleAttempt(firstDelayMs);
}

void CUpdateCheck::scheduleAttempt(int delayMs)
{
    QTimer::singleShot(delayMs, this, [this] { attempt(); });
}

void CUpdateCheck::attempt()
{
    if (m_done)
        return;
    if (isExporting && isExporting()) {
        // A running export postpones the check; this is not a failed attempt.
        scheduleAttempt(retryDelayMs);
        return;
    }
    if (m_downloaded)
        evaluate();
    else
        startDownload();
}

void CUpdateCheck::startDownload()
{
    if (url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0 || url.host().isEmpty()) {
        attemptFailed("the version file's address is not an https address");
        return;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(3);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(attemptTimeoutMs);
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!extraCaCertificates.isEmpty())
        ssl.addCaCertificates(extraCaCertificates);
    request.setSslConfiguration(ssl);

    m_data.clear();
    m_tooLarge = false;
    ++m_downloads;
    QNetworkReply* reply = m_network->get(request);
    m_reply = reply;
    reply->setReadBufferSize(kMaxVersionFileBytes + 1);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > kMaxVersionFileBytes) {
            m_tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        m_data += reply->read(kMaxVersionFileBytes + 1 - m_data.size());
        if (m_data.size() > kMaxVersionFileBytes) {
            m_tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { downloadEnded(reply); });
    m_attemptTimer->start(attemptTimeoutMs);
}

void CUpdateCheck::downloadEnded(QNetworkReply* reply)
{
    m_attemptTimer->stop();
    reply->deleteLater();
    m_reply = nullptr;
    if (!m_tooLarge && reply->error() == QNetworkReply::NoError)
        m_data += reply->read(kMaxVersionFileBytes + 1 - m_data.size());
    if (m_tooLarge || m_data.size() > kMaxVersionFileBytes) {
        attemptFailed("the version file is too large");
        return;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError || status != 200) {
        logf(LOG_WARNING, "CUpdateCheck::download", "download failed (status %d): %s", status,
             reply->errorString().toUtf8().constData());
        attemptFailed("download failed");
        return;
    }
    QDir().mkpath(QFileInfo(localPath).absolutePath());
    QSaveFile file(localPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(m_data) != m_data.size() || !file.commit()) {
        attemptFailed("the version file could not be stored");
        return;
    }
    m_downloaded = true;
    evaluate();
}

void CUpdateCheck::evaluate()
{
    UpdateInfo info;
    info.running = running;
    if (!readVersionFile(localPath, updateSection(), info)) {
        attemptFailed("the version file has no complete section for this program");
        return;
    }
    m_done = true;
    const QString message = info.message();
    if (!message.isEmpty())
        emit updateOffered(message, info.page());
    emit finished();
}

void CUpdateCheck::attemptFailed(const char* why)
{
    ++m_failures;
    log(LOG_INFO, "CUpdateCheck", why);
    if (m_failures >= maxAttempts) {
        m_done = true;
        emit finished();
        return;
    }
    scheduleAttempt(retryDelayMs);
}

// ---- CUpdateThread ----

CUpdateThread::CUpdateThread(CUpdateCheck* check, QObject* parent)
    : QObject(parent)
    , m_check(check)
{
    m_thread.setObjectName(QStringLiteral("update check"));
    check->moveToThread(&m_thread);
    connect(&m_thread, &QThread::started, check, &CUpdateCheck::run);
    connect(check, &CUpdateCheck::finished, &m_thread, &QThread::quit);
    connect(&m_thread, &QThread::finished, check, &QObject::deleteLater);
    m_thread.start();
}

CUpdateThread::~CUpdateThread()
{
    m_thread.quit();
    m_thread.wait();
}

// ---- CUpdateDialog ----

CUpdateDialog::CUpdateDialog(const QString& message, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("updateDialog"));
    setWindowTitle(QStringLiteral("Update Available"));

    auto* picture = new QLabel(this);
    picture->setPixmap(appPicture().scaled(96, 96, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    auto* text = new QLabel(message, this);
    text->setObjectName(QStringLiteral("message"));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(false);

    dontNotify = new QCheckBox(QStringLiteral("Don't  notify me again of updates."), this);
    dontNotify->setObjectName(QStringLiteral("dontNotify"));
    yesButton = new QPushButton(QStringLiteral("Yes,  show  me  more info"), this);
    yesButton->setObjectName(QStringLiteral("yes"));
    yesButton->setDefault(true);
    noButton = new QPushButton(QStringLiteral("No thanks"), this);
    noButton->setObjectName(QStringLiteral("no"));
    connect(yesButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(noButton, &QPushButton::clicked, this, &QDialog::reject);

    auto* top = new QHBoxLayout;
    top->addWidget(picture, 0, Qt::AlignTop);
    top->addSpacing(12);
    top->addWidget(text, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(dontNotify);
    buttons->addStretch();
    buttons->addWidget(yesButton);
    buttons->addWidget(noButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(12);
    layout->addLayout(buttons);
}

bool answerUpdateOffer(const QString& message, const QUrl& page, COptions& options)
{
    CUpdateDialog dialog(message);
    if (dialog.exec() == QDialog::Accepted)
        openWebPage(page);
    const bool keep = dialog.keepNotifying();
    options.setShowUpdates(keep);
    saveAndTell(options);
    return keep;
}

} // namespace vorn::ui
