// quintell-vorn: the desktop program.
#include "foundation/Log.h"
#include "foundation/Platform.h"
#include "ui/AppInfo.h"
#include "ui/GuiNotifier.h"
#include "ui/MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // The run's diagnostic log.
    vorn::LogFile logFile(vorn::defaultLogFilePath());
    vorn::LogScope logScope(logFile);

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
