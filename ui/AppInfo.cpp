#include "ui/AppInfo.h"

#include "foundation/Log.h"
#include "foundation/Notifier.h"
#include "foundation/Preferences.h"

#include <QDesktopServices>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

static void initUiResources()
{
    // The resources live in a static library: register them explicitly.
    Q_INIT_RESOURCE(ui);
}

namespace vorn::ui {

namespace {

QMutex g_openerMutex;
PageOpener g_opener;

void ensureResources()
{
    static const bool done = (initUiResources(), true);
    (void)done;
}

} // namespace

AppVersion appVersion()
{
    const QStringList parts = QString::fromLatin1(VORN_APP_VERSION).split(QLatin1Char('.'));
    AppVersion v;
    v.major = parts.value(0).toInt();
    v.minor = parts.value(1).toInt();
    v.build = parts.value(2).toInt();
    return v;
}

QString appVersionText()
{
    const AppVersion v = appVersion();
    return QStringLiteral("%1.%2.%3").arg(v.major).arg(v.minor).arg(v.build);
}

QIcon appIcon()
{
    ensureResources();
    return QIcon(QStringLiteral(":/vorn/quintell-vorn.png"));
}

QPixmap appPicture()
{
    ensureResources();
    return QPixmap(QStringLiteral(":/vorn/quintell-vorn.png"))
        .scaled(128, 128, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QFont paneFont()
{
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(12);
    font.setWeight(QFont::Light);
    return font;
}

bool openWebPage(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        logf(LOG_WARNING, "openWebPage", "not opened (only http and https pages are): %s",
             url.toString().left(200).toUtf8().constData());
        return false;
    }
    PageOpener opener;
    {
        QMutexLocker lock(&g_openerMutex);
        opener = g_opener;
    }
    if (opener)
        opener(url);
    else
        QDesktopServices::openUrl(url);
    return true;
}

PageOpener setPageOpener(PageOpener opener)
{
    QMutexLocker lock(&g_openerMutex);
    PageOpener old = std::move(g_opener);
    g_opener = std::move(opener);
    return old;
}

QString engineText(const char* text)
{
    QString s = QString::fromUtf8(text ? text : "");
    s.remove(QLatin1Char('\r'));
    return s;
}

bool saveAndTell(Preferences& store, const char* path)
{
    const bool saved = store.save(path);
    const std::string notice = store.takeSaveFailureNotice();
    if (!notice.empty())
        vorn::notify("Quintell", notice);
    return saved;
}

} // namespace vorn::ui
