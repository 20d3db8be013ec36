// The main window "Quintell Vorn 2": the import pane, the File and Help menus,
// drops of files and folders, and the start-up steps (options, migration from
// an older installation, update check, splash).
#pragma once

#include "foundation/Options.h"
#include "ui/ImportPane.h"

#include <QAction>
#include <QMainWindow>
#include <QString>

#include <filesystem>
#include <functional>
#include <memory>

namespace vorn::ui {

class CUpdateThread;

class CQuintellVornDlg : public QMainWindow {
    Q_OBJECT
public:
    explicit CQuintellVornDlg(QWidget* parent = nullptr);
    ~CQuintellVornDlg() override;

    // The start-up steps after the window exists: loads (or migrates) the
    // options, starts the update check when ShowUpdates is on, shows the splash
    // (when splash is set) and sets the menu check mark.
    void startUp(bool splash = true);

    // Imports paths in the order given, as a drop does.
    void importPaths(const QStringList& paths);
    void openFile();
    void toggleUpdateNotifications();
    void showAbout();

    CImportPane* pane() const { return m_pane; }
    // The program's options (loaded by startUp).
    COptions& options() { return m_options; }
    QAction* updateNotificationsAction() const { return m_updateAction; }
    CUpdateThread* updateThread() const { return m_updateThread.get(); }

    // Shows an informational message box; tests replace it.
    std::function<void(const QString& text)> inform;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void startUpdateCheck();

    COptions m_options;
    CImportPane* m_pane = nullptr;
    QAction* m_updateAction = nullptr;
    std::unique_ptr<CUpdateThread> m_updateThread;
    bool m_closeAfterExport = false;
};

// The options file: options.txt in the platform's data folder.
std::filesystem::path optionsPath();

// Loads the options; when the file cannot be opened, looks for an older
// installation's options through the registry and, if there is one, asks
// (askImport) whether to import them; then saves to path. Returns true when
// the options file was loaded.
bool loadOrMigrateOptions(COptions& options, const std::filesystem::path& path,
                          const std::function<bool(const QString& question)>& askImport);

} // namespace vorn::ui
