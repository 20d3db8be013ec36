// Takes the screenshots of the desktop program (run by scripts/screenshots.sh
// under a virtual X server): the main window after importing a card, the
// Options dialog, the About box, the update notice and the two preview windows
// during a conversion. Usage: ui_screenshots CARD_DIR OUTPUT_DIR DEST_DIR
#include "foundation/Options.h"
#include "ui/AboutDialog.h"
#include "ui/FramePreview.h"
#include "ui/MainWindow.h"
#include "ui/OptionsDialog.h"
#include "ui/UpdateCheck.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <cstdio>

using namespace vorn::ui;

namespace {

QString g_out;

void settle(int ms = 300)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The window as the screen shows it (falls back to rendering the widget).
bool shoot(QWidget* w, const char* name, bool withFrame = true)
{
    w->raise();
    w->activateWindow();
    settle(800); // the window manager frames a new window first
    QPixmap pixmap;
    if (QScreen* screen = w->screen(); screen && QGuiApplication::platformName() == QLatin1String("xcb")) {
        const QRect r = withFrame ? w->frameGeometry() : w->geometry();
        pixmap = screen->grabWindow(0, r.x(), r.y(), r.width(), r.height());
    }
    if (pixmap.isNull())
        pixmap = w->grab();
    const QString path = QDir(g_out).filePath(QString::fromLatin1(name));
    const bool ok = pixmap.save(path);
    std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "FAILED", qPrintable(path), pixmap.width(), pixmap.height());
    return ok;
}

// Runs fn on the next modal dialog of type T, after it is shown.
template <typename T>
void onModal(std::function<void(T*)> fn)
{
    QTimer::singleShot(100, [fn] {
        if (auto* d = qobject_cast<T*>(QApplication::activeModalWidget())) {
            settle(400);
            fn(d);
            return;
        }
        onModal<T>(fn);
    });
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: ui_screenshots CARD_DIR OUTPUT_DIR DEST_DIR\n");
        return 2;
    }
    const QString card = QString::fromLocal8Bit(argv[1]);
    g_out = QString::fromLocal8Bit(argv[2]);
    const QString dest = QString::fromLocal8Bit(argv[3]);
    QDir().mkpath(g_out);
    bool ok = true;

    CQuintellVornDlg window;
    COptions& options = window.options();
    options.setShowUpdates(false);
    options.setString(OptionKey::DestinationFolder, dest.toStdString());
    window.move(40, 40);
    window.resize(760, 460);
    window.show();
    window.importPaths({card});
    ok &= shoot(&window, "main-window.png");

    onModal<COptionsDialog>([&](COptionsDialog* d) {
        ok &= shoot(d, "options-dialog.png");
        d->reject();
    });
    window.pane()->OptionsButton()->click();

    {
        CAboutDialog about(CAboutDialog::Normal, &window);
        about.show();
        ok &= shoot(&about, "about-box.png");
        CAboutDialog splash(CAboutDialog::Splash, &window);
        splash.show();
        // A borderless window: twm frames it all the same, so only the window is taken.
        ok &= shoot(&splash, "about-splash.png", false);
    }

    {
        UpdateInfo info;
        info.running = appVersion();
        info.latest = {2, 1, 0};
        CUpdateDialog notice(info.message());
        notice.show();
        ok &= shoot(&notice, "update-dialog.png");
    }

    // A conversion with the preview on: the picture is decoded, processed and re-encoded.
    options.setBool(OptionKey::ShowFrames, true);
    options.setString(OptionKey::FrameScale, "Half scale");
    options.setString(OptionKey::DesiredFrameSize, FrameSizeText::To720);
    window.move(40, 620); // below the preview windows
    settle();
    CImportPane* pane = window.pane();
    CFramePreview* preview = pane->Preview();
    pane->StartButton()->click();
    for (int i = 0; i < 600 && pane->IsRunning()
                    && (preview->drawnCount(CFramePreview::Decoded) < 3 || preview->drawnCount(CFramePreview::Processed) < 3);
         ++i)
        settle(50);
    if (preview->drawnCount(CFramePreview::Decoded) > 0 && preview->drawnCount(CFramePreview::Processed) > 0) {
        pane->Engine().SetPause(); // hold the pictures still while they are taken
        ok &= shoot(preview->window(CFramePreview::Decoded), "preview-decoded.png");
        ok &= shoot(preview->window(CFramePreview::Processed), "preview-processed.png");
        if (QScreen* screen = window.screen())
            screen->grabWindow(0).save(QDir(g_out).filePath(QStringLiteral("screen-during-conversion.png")));
        pane->Engine().ClearPause();
    } else {
        std::fprintf(stderr, "no preview frames were drawn\n");
        ok = false;
    }
    while (pane->IsRunning())
        settle(100);
    ok &= shoot(&window, "main-window-after-export.png");
    return ok ? 0 : 1;
}
