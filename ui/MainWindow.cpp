#include "ui/MainWindow.h"

#include "foundation/Log.h"
#include "foundation/Options.h"
#include "foundation/Platform.h"
#include "foundation/TevRegistry.h"
#include "ui/AboutDialog.h"
#include "ui/AppInfo.h"
#include "ui/UpdateCheck.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>

namespace vorn::ui {

namespace {

constexpr char kMigrateQuestion[] =
    "We have located a previous version of Quintell Vorn. Would you like to import the options from this "
    "version?  Selecting NO will use default values";

const char* const kUninstallKeys[] = {
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quintell Vorn 1.8.2_is1",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quintell Vorn_is1",
};

QStringList localPaths(const QMimeData* mime)
{
    QStringList paths;
    if (!mime || !mime->hasUrls())
        return paths;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile())
            paths << QDir::toNativeSeparators(url.toLocalFile());
    return paths;
}

} // namespace

std::filesystem::path optionsPath()
{
    return vorn::dataDirectory() / "options.txt";
}

bool loadOrMigrateOptions(COptions& options, const std::filesystem::path& path,
                          const std::function<bool(const QString& question)>& askImport)
{
    const QelString target(path.string());
    if (options.load(target))
        return true;

    CTevRegistry registry(RegistryRoot::LocalMachine, kUninstallKeys[0]);
    QelString location;
    bool found = registry.queryString("InstallLocation", location);
    if (!found) {
        registry.reopen(kUninstallKeys[1]);
        found = registry.queryString("InstallLocation", location);
    }
    if (!found || location.isEmpty())
        return false; // no older installation: the defaults stand

    const std::filesystem::path oldFile = std::filesystem::path(location.str()) / "data" / "options.txt";
    const QelString oldPath(oldFile.string());
    COptions probe;
    if (probe.load(oldPath) && askImport && askImport(QString::fromLatin1(kMigrateQuestion)))
        options.load(oldPath);
    saveAndTell(options, target.c_str());
    return false;
}

CQuintellVornDlg::CQuintellVornDlg(QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QString::fromLatin1(kMainTitle));
    setWindowIcon(appIcon());
    setAcceptDrops(true);

    m_pane = new CImportPane(m_options, this);
    setCentralWidget(m_pane);
    connect(m_pane, &CImportPane::exportEnded, this, [this] {
        if (m_closeAfterExport)
            close();
    });

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("&Open..."), this, [this] { openFile(); });
    file->addAction(QStringLiteral("E&xit"), this, [this] { close(); });
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    m_updateAction = help->addAction(QStringLiteral("Enable Update Notifications"), this,
                                     [this] { toggleUpdateNotifications(); });
    m_updateAction->setCheckable(true);
    help->addSeparator();
    help->addAction(QStringLiteral("About Quintell Vorn"), this, [this] { showAbout(); });

    inform = [this](const QString& text) {
        QMessageBox::information(this, QString::fromLatin1(kMessageTitle), text);
    };

    resize(690, 420);
}

CQuintellVornDlg::~CQuintellVornDlg() = default;

void CQuintellVornDlg::startUp(bool splash)
{
    COptions& options = m_options;
    loadOrMigrateOptions(options, optionsPath(), [this](const QString& question) {
        return QMessageBox::question(this, QString::fromLatin1(kMessageTitle), question,
                                     QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
            == QMessageBox::Yes;
    });
    if (options.getBool(OptionKey::ShowUpdates))
        startUpdateCheck();
    if (splash) {
        CAboutDialog about(CAboutDialog::Splash, this);
        about.exec();
    }
    m_updateAction->setChecked(options.getBool(OptionKey::ShowUpdates));
}

void CQuintellVornDlg::startUpdateCheck()
{
    auto* check = new CUpdateCheck;
    CVorn* engine = &m_pane->Engine();
    check->isExporting = [engine] { return engine->IsExporting(); };
    connect(check, &CUpdateCheck::updateOffered, this, [this](const QString& message, const QUrl& page) {
        m_updateAction->setChecked(answerUpdateOffer(message, page, m_options));
    });
    m_updateThread = std::make_unique<CUpdateThread>(check);
}

void CQuintellVornDlg::importPaths(const QStringList& paths)
{
    for (const QString& path : paths)
        if (!m_pane->ImportPath(path))
            log(LOG_INFO, "CQuintellVornDlg::importPaths", "ignored while an export runs");
}

void CQuintellVornDlg::openFile()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Quintell Vorn"), QString(),
                                                      QStringLiteral("MXF Movie File (*.mxf);;All Files (*.*)"));
    if (!path.isEmpty())
        importPaths({path});
}

void CQuintellVornDlg::toggleUpdateNotifications()
{
    COptions& options = m_options;
    const bool on = !options.getBool(OptionKey::ShowUpdates);
    options.setShowUpdates(on);
    saveAndTell(options);
    m_updateAction->setChecked(on);
    if (inform)
        inform(QStringLiteral("Restart the program for changes to take effect"));
}

void CQuintellVornDlg::showAbout()
{
    CAboutDialog about(CAboutDialog::Normal, this);
    about.exec();
}

void CQuintellVornDlg::dragEnterEvent(QDragEnterEvent* event)
{
    if (!localPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void CQuintellVornDlg::dropEvent(QDropEvent* event)
{
    const QStringList paths = localPaths(event->mimeData());
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    importPaths(paths);
}

void CQuintellVornDlg::closeEvent(QCloseEvent* event)
{
    if (m_pane->IsRunning()) {
        // The export thread still uses the pane: stop it and close when it has ended.
        m_closeAfterExport = true;
        m_pane->Abort();
        m_pane->Engine().ClearPause();
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

} // namespace vorn::ui
