// Facts about the desktop program: its version, texts shared by several windows,
// and small helpers every window uses.
#pragma once

#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QUrl>

#include <functional>

class Preferences;

namespace vorn::ui {

struct AppVersion {
    int major = 0;
    int minor = 0;
    int build = 0;
};

// The running program's version (major, minor, build), from the build setting.
AppVersion appVersion();
// "2.0.2".
QString appVersionText();

// The window title of the main window and the About box.
inline constexpr char kMainTitle[] = "Quintell Vorn 2";
// The title of the program's own message boxes.
inline constexpr char kMessageTitle[] = "Quintell Vorn";

// The application icon and the About box picture.
QIcon appIcon();
QPixmap appPicture();

// The font of the log and the buttons: Arial, 12 pixels, light.
QFont paneFont();

// Opens a web page with the desktop's handler. Only http and https addresses
// are opened; anything else is logged and ignored. Returns true when handed on.
bool openWebPage(const QUrl& url);
// Replaces what opens a page (tests record the addresses instead); an empty
// function restores the desktop's handler. Returns the previous one.
using PageOpener = std::function<void(const QUrl&)>;
PageOpener setPageOpener(PageOpener opener);

// Saves a settings store to its file. The first file of the store that cannot
// be written is told in a message box ("Quintell"). True when it was written.
bool saveAndTell(Preferences& store, const char* path = nullptr);

// Converts an engine text (8-bit, "\r\n" line ends) to the text shown.
QString engineText(const char* text);

} // namespace vorn::ui
