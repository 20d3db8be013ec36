// quintell-vorn: the desktop program.
#include "foundation/Options.h"
#include "ui/AppInfo.h"
#include "ui/GuiNotifier.h"
#include "ui/MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // The options exist with their defaults before anything else runs.
    vorn::theOptions();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quintell-vorn"));
    QApplication::setApplicationVersion(vorn::ui::appVersionText());
    QApplication::setWindowIcon(vorn::ui::appIcon());
    QApplication::setDesktopFileName(QStringLiteral("quintell-vorn"));

    vorn::ui::CGuiNotifier notifier;
    vorn::ui::CQuintellVornDlg window;
    window.startUp(true);
    window.show();
    return app.exec();
}
