// The main window and its import pane without an export: drops, Clear, the
// menu toggle, start-up, migration of older options, the engine's message
// boxes, and the log under a 10,000-line session.
#include "foundation/Notifier.h"
#include "foundation/Options.h"
#include "support/P2Fixture.h"
#include "ui/AboutDialog.h"
#include "ui/AppInfo.h"
#include "ui/FramePreview.h"
#include "ui/HyperLink.h"
#include "ui/GuiNotifier.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <filesystem>
#include <thread>

using namespace vorn::ui;
namespace fs = std::filesystem;

namespace {

constexpr char kWelcomeLines[] = "Kestro Vorn 2.0.2 - Converts MXF to MXF with FX.\n"
                                 "Drag into here one or more MXF files, or a folder containing MXF files,\n"
                                 "   or a P2 card image, CONTENTS or VIDEO folder.\n";

// A card folder holding one small clip.
QString makeCard(const QString& root, const std::string& clipName)
{
    vorn::test::P2Clip clip = vorn::test::p2Clip(9, 3, clipName);
    clip.audioChannels = 1;
    vorn::test::setBinaryGroup(clip, 25, 8);
    vorn::test::writeP2Card(fs::path(root.toStdString()), {clip});
    return root;
}

void drop(QWidget* target, const QStringList& paths)
{
    auto* mime = new QMimeData;
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls << QUrl::fromLocalFile(p);
    mime->setUrls(urls);
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent event(QPointF(20, 20), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
    delete mime;
}

QStringList engineFiles(CImportPane* pane)
{
    QStringList files;
    for (const auto& f : pane->Engine().Files())
        files << QString::fromStdString(f.str());
    return files;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;

    QString dataOptionsPath() const { return QString::fromStdString(optionsPath().string()); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(qEnvironmentVariableIsSet("VORN_DATA_DIR"));
    }
    void init()
    {
        QFile::remove(dataOptionsPath());
    }

    void layoutAndTitles()
    {
        CQuintellVornDlg window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Quintell Vorn 2"));
        window.resize(800, 500);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        CImportPane* pane = window.pane();
        const int w = pane->width(), h = pane->height();
        QCOMPARE(pane->Log()->geometry(), QRect(10, 10, w - 20, h - 87));
        QCOMPARE(pane->Progress()->geometry(), QRect(10, h - 72, w - 20, 20));
        QCOMPARE(pane->StartButton()->geometry(), QRect(w / 2 - 190, h - 47, 120, 32));
        QCOMPARE(pane->OptionsButton()->geometry(), QRect(w / 2 - 60, h - 47, 120, 32));
        QCOMPARE(pane->ClearButton()->geometry(), QRect(w / 2 + 70, h - 47, 120, 32));
        QCOMPARE(pane->StartButton()->text(), QStringLiteral("Start"));
        QCOMPARE(pane->OptionsButton()->text(), QStringLiteral("Options"));
        QCOMPARE(pane->ClearButton()->text(), QStringLiteral("Clear"));
        QVERIFY(pane->Log()->isReadOnly());
        QStringList menus;
        for (QAction* a : window.menuBar()->actions()) {
            menus << a->text();
            for (QAction* item : a->menu()->actions())
                menus << item->text();
        }
        QCOMPARE(menus, (QStringList{"&File", "&Open...", "E&xit", "&Help", "Enable Update Notifications", "",
                                     "About Quintell Vorn"}));
        // The preview windows exist hidden.
        QCOMPARE(pane->Preview()->window(1)->windowTitle(), QStringLiteral("Decoded Frame"));
        QCOMPARE(pane->Preview()->window(2)->windowTitle(), QStringLiteral("Processed Frame"));
        QVERIFY(!pane->Preview()->window(1)->isVisible());
        QVERIFY(!pane->Preview()->window(2)->isVisible());
    }

    void dropImportsInOrderAndClearStartsOver()
    {
        const QString a = makeCard(m_dir.filePath(QStringLiteral("A")), "0001AA");
        const QString b = makeCard(m_dir.filePath(QStringLiteral("B")), "0002BB");
        const QString c = makeCard(m_dir.filePath(QStringLiteral("C")), "0003CC");
        CQuintellVornDlg window;
        CImportPane* pane = window.pane();
        QCOMPARE(pane->Log()->toPlainText(), QString::fromLatin1(kWelcomeLines));
        QVERIFY(!pane->StartButton()->isEnabled());

        drop(&window, {c, a, b});
        const QStringList files = engineFiles(pane);
        QCOMPARE(files.size(), 3);
        QVERIFY(files[0].contains(QStringLiteral("0003CC.MXF")));
        QVERIFY(files[1].contains(QStringLiteral("0001AA.MXF")));
        QVERIFY(files[2].contains(QStringLiteral("0002BB.MXF")));
        QVERIFY(pane->StartButton()->isEnabled());
        QVERIFY(pane->OptionsButton()->isEnabled());
        QVERIFY(pane->ClearButton()->isEnabled());
        // The last import's heading, every clip's line in list order, the hint.
        const QString log = pane->Log()->toPlainText();
        QVERIFY2(log.startsWith(QStringLiteral("Adding Folder ") + b), qPrintable(log));
        const int ic = log.indexOf(QStringLiteral("0003CC")), ia = log.indexOf(QStringLiteral("0001AA")),
                  ib = log.indexOf(QStringLiteral("0002BB"));
        QVERIFY(ic > 0 && ic < ia && ia < ib);
        QVERIFY(log.endsWith(QStringLiteral("\nClick Start to export files\n")));

        // A second drop of a single file adds to the list.
        const QString single = m_dir.filePath(QStringLiteral("D"));
        makeCard(single, "0004DD");
        drop(&window, {single + QStringLiteral("/CONTENTS/VIDEO/0004DD.MXF")});
        QCOMPARE(engineFiles(pane).size(), 4);

        pane->Progress()->setValue(40);
        pane->ClearButton()->click();
        QCOMPARE(pane->Log()->toPlainText(), QString::fromLatin1(kWelcomeLines));
        QVERIFY(!pane->StartButton()->isEnabled());
        QCOMPARE(pane->Engine().FileCount(), 0);
        QCOMPARE(pane->Progress()->value(), 0);
    }

    void dropWithoutClipsLeavesStartDisabled()
    {
        const QString empty = m_dir.filePath(QStringLiteral("empty"));
        QVERIFY(QDir().mkpath(empty));
        CQuintellVornDlg window;
        drop(&window, {empty});
        QCOMPARE(window.pane()->Engine().FileCount(), 0);
        QVERIFY(!window.pane()->StartButton()->isEnabled());
        QVERIFY(window.pane()->Log()->toPlainText().startsWith(QStringLiteral("Adding Folder ")));
    }

    void menuToggleSavesShowUpdatesAtOnce()
    {
        CQuintellVornDlg window;
        QStringList informed;
        window.inform = [&](const QString& text) { informed << text; };
        window.startUp(false);
        QAction* toggle = window.updateNotificationsAction();
        QVERIFY(toggle->isChecked());
        toggle->trigger();
        QVERIFY(!toggle->isChecked());
        QVERIFY(!window.options().getBool(OptionKey::ShowUpdates));
        QVERIFY(readFile(dataOptionsPath()).contains("ShowUpdates = 0\n"));
        toggle->trigger();
        QVERIFY(toggle->isChecked());
        QVERIFY(readFile(dataOptionsPath()).contains("ShowUpdates = 1\n"));
        QCOMPARE(informed, QStringList(2, QStringLiteral("Restart the program for changes to take effect")));
    }

    void unwritableOptionsFileIsToldOncePerWindow()
    {
        // A folder where the options file should be: it can be neither read nor written.
        QVERIFY(QDir().mkpath(dataOptionsPath()));
        QStringList shown;
        for (int window = 0; window < 2; ++window) {
            CGuiNotifier notifier;
            notifier.show = [&](const QString& title, const QString& text) { shown << title + QLatin1String(": ") + text; };
            CQuintellVornDlg dialog;
            dialog.inform = [](const QString&) {};
            dialog.startUp(false);
            dialog.updateNotificationsAction()->trigger();
            dialog.updateNotificationsAction()->trigger();
        }
        QVERIFY(QDir().rmdir(dataOptionsPath()));
        const QString folder = QString::fromStdString(optionsPath().parent_path().string()) + QLatin1Char('/');
        QCOMPARE(shown, QStringList(2, QStringLiteral("Quintell: Unable to save options file. Check permissions of folder:\n") + folder));
    }

    void startUpRunsTheUpdateCheckOnlyWhenShowUpdatesIsOn_data()
    {
        QTest::addColumn<bool>("showUpdates");
        QTest::newRow("on") << true;
        QTest::newRow("off") << false;
    }
    void startUpRunsTheUpdateCheckOnlyWhenShowUpdatesIsOn()
    {
        QFETCH(bool, showUpdates);
        COptions options;
        options.setShowUpdates(showUpdates);
        options.setString(OptionKey::DestinationFolder, "/from/file");
        QVERIFY(options.save(dataOptionsPath().toUtf8().constData()));
        CQuintellVornDlg window;
        window.startUp(false);
        QCOMPARE(window.options().getString(OptionKey::DestinationFolder).str(), std::string("/from/file"));
        QCOMPARE(window.updateThread() != nullptr, showUpdates);
        QCOMPARE(window.updateNotificationsAction()->isChecked(), showUpdates);
    }

    void splashClosesOnClickAndAfterFourSeconds()
    {
        CAboutDialog splash(CAboutDialog::Splash);
        QVERIFY(splash.windowFlags().testFlag(Qt::FramelessWindowHint));
        QCOMPARE(splash.findChildren<CHyperLink*>().size(), 0);
        QCOMPARE(splash.findChildren<QPushButton*>().size(), 0);
        QCOMPARE(splash.findChild<QLabel*>(QStringLiteral("title"))->text(), QStringLiteral("Quintell Vorn Version 2.0.2"));
        QCOMPARE(splash.size(), CAboutDialog(CAboutDialog::Normal).sizeHint());
        splash.show();
        QVERIFY(QTest::qWaitForWindowExposed(&splash));
        QTest::mouseClick(&splash, Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(!splash.isVisible());
        QCOMPARE(splash.result(), int(QDialog::Accepted));

        CAboutDialog timed(CAboutDialog::Splash);
        timed.show();
        QTRY_VERIFY_WITH_TIMEOUT(!timed.isVisible(), 20000);

        CAboutDialog normal(CAboutDialog::Normal);
        QCOMPARE(normal.windowTitle(), QStringLiteral("Quintell Vorn 2"));
        QCOMPARE(normal.findChild<QLabel*>(QStringLiteral("title"))->text(),
                 QStringLiteral("Quintell Vorn Version 2.0.2"));
        QStringList labels;
        for (QLabel* l : normal.labels)
            labels << l->text();
        QCOMPARE(labels, (QStringList{"More information on Quintell Vorn:", "User forums:", "Quintell Tutorials:",
                                      "Recommended camera settings: ", "Read the book on transfer to film:"}));
        QCOMPARE(normal.links.size(), 5);
        for (CHyperLink* link : normal.links)
            QCOMPARE(link->target().scheme(), QStringLiteral("https"));
    }

    void hyperLinkOpensAndTurnsPurple()
    {
        QList<QUrl> opened;
        const PageOpener old = setPageOpener([&](const QUrl& u) { opened << u; });
        CHyperLink link(QStringLiteral("site"), QUrl(QStringLiteral("https://quintell.example/vorn/")));
        QCOMPARE(link.palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QVERIFY(link.font().underline());
        link.resize(100, 20);
        QTest::mouseClick(&link, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(opened, QList<QUrl>{QUrl(QStringLiteral("https://quintell.example/vorn/"))});
        QCOMPARE(link.palette().color(QPalette::WindowText), QColor(128, 0, 128));
        CHyperLink bad(QStringLiteral("x"), QUrl(QStringLiteral("file:///etc/passwd")));
        bad.open();
        QCOMPARE(opened.size(), 1);
        setPageOpener(old);
    }

    void migrationFromAnOlderInstallation_data()
    {
        QTest::addColumn<int>("registryKey");    // 0 none, 1 versioned key, 2 plain key
        QTest::addColumn<bool>("oldFile");       // the old installation has its options file
        QTest::addColumn<bool>("answerYes");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("saved");
        QTest::addColumn<QString>("destination");
        const QString def = QString::fromStdString(COptions().getString(OptionKey::DestinationFolder).str());
        QTest::newRow("none found") << 0 << false << true << false << false << def;
        QTest::newRow("versioned key, yes") << 1 << true << true << true << true << "/old/dest";
        QTest::newRow("plain key, yes") << 2 << true << true << true << true << "/old/dest";
        QTest::newRow("plain key, no") << 2 << true << false << true << true << def;
        QTest::newRow("location without options") << 1 << false << true << false << true << def;
    }
    void migrationFromAnOlderInstallation()
    {
        QFETCH(int, registryKey);
        QFETCH(bool, oldFile);
        QFETCH(bool, answerYes);
        QFETCH(bool, asked);
        QFETCH(bool, saved);
        QFETCH(QString, destination);
        QTemporaryDir dir;
        const QString install = dir.filePath(QStringLiteral("Old Vorn"));
        QVERIFY(QDir().mkpath(install + QStringLiteral("/data")));
        if (oldFile) {
            COptions old;
            old.setString(OptionKey::DestinationFolder, "/old/dest");
            QVERIFY(old.save((install + QStringLiteral("/data/options.txt")).toUtf8().constData()));
        }
        const QString registry = dir.filePath(QStringLiteral("registry.txt"));
        QFile reg(registry);
        QVERIFY(reg.open(QIODevice::WriteOnly));
        const char* keys[] = {"", "Quintell Vorn 1.8.2_is1", "Quintell Vorn_is1"};
        if (registryKey)
            reg.write("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                      + QByteArray(keys[registryKey]) + "\\InstallLocation=" + install.toUtf8() + "\n");
        reg.close();
        qputenv("VORN_REGISTRY_FILE", registry.toUtf8());

        const fs::path target = fs::path(dir.filePath(QStringLiteral("new/Data/options.txt")).toStdString());
        COptions live;
        bool wasAsked = false;
        QString question;
        const bool loaded = loadOrMigrateOptions(live, target, [&](const QString& q) {
            wasAsked = true;
            question = q;
            return answerYes;
        });
        qunsetenv("VORN_REGISTRY_FILE");
        QVERIFY(!loaded);
        QCOMPARE(wasAsked, asked);
        if (asked)
            QCOMPARE(question, QStringLiteral("We have located a previous version of Quintell Vorn. Would you like "
                                              "to import the options from this version?  Selecting NO will use "
                                              "default values"));
        QCOMPARE(fs::exists(target), saved);
        QCOMPARE(QString::fromStdString(live.getString(OptionKey::DestinationFolder).str()), destination);
        if (saved) {
            COptions reread;
            QVERIFY(reread.load(QelString(target.string())));
            QCOMPARE(QString::fromStdString(reread.getString(OptionKey::DestinationFolder).str()), destination);
        }
    }

    void engineMessageBoxWaitsForTheUser()
    {
        CGuiNotifier notifier;
        std::atomic<bool> returned{false};
        QStringList shown;
        bool onGuiThread = false;
        bool workerWaited = false;
        notifier.show = [&](const QString& title, const QString& text) {
            shown << title << text;
            onGuiThread = QThread::currentThread() == qApp->thread();
            QTest::qWait(200); // the box is open: the raising thread must not go on
            workerWaited = !returned.load();
        };
        std::thread worker([&] {
            vorn::notify("Quintell AVC-Intra Decoder", "Slice data is damaged\r\n");
            returned = true;
        });
        QTRY_VERIFY(returned.load());
        worker.join();
        QCOMPARE(shown, (QStringList{"Quintell AVC-Intra Decoder", "Slice data is damaged\n"}));
        QVERIFY(onGuiThread);
        QVERIFY(workerWaited);
    }

    void logSessionOf10000Lines()
    {
        // A benchmark of a long session: 10,000 lines sent from another thread
        // with progress in between, then checked line for line.
        CQuintellVornDlg window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        CImportPane* pane = window.pane();
        constexpr int kLines = 10000;
        QString expected = QString::fromLatin1(kWelcomeLines);
        for (int i = 0; i < kLines; ++i)
            expected += QStringLiteral("0%1AB,\tHD 1080i60     \t1 min 0 sec,\t shot 24 fps, w/ 3:2 pulldown\n").arg(i, 5, 10, QLatin1Char('0'));
        QBENCHMARK_ONCE {
            std::thread worker([pane] {
                for (int i = 0; i < kLines; ++i) {
                    char line[100];
                    std::snprintf(line, sizeof line, "0%05dAB,\tHD 1080i60     \t1 min 0 sec,\t shot 24 fps, w/ 3:2 pulldown\r\n", i);
                    pane->Message(line, 0, 1);
                    if (i % 100 == 0)
                        pane->SetProgress(0, i / 100);
                }
                pane->SetProgress(0, 100);
            });
            while (pane->Progress()->value() != 100)
                QTest::qWait(5);
            worker.join();
        }
        QCOMPARE(pane->Log()->toPlainText(), expected);
        QScrollBar* bar = pane->Log()->verticalScrollBar();
        QCOMPARE(bar->value(), bar->maximum());
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
