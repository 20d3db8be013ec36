// The import pane: the log the user drops material onto, the progress bar and
// the Start / Options / Clear buttons. It owns the engine and implements the
// engine's callback interface; the engine calls it from its export thread, so
// every call is queued and carried out, in order, on the pane's own thread.
#pragma once

#include "engine/Caller.h"
#include "engine/Vorn.h"
#include "foundation/Options.h"

#include <QMutex>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

namespace vorn::ui {

class CFramePreview;

class CImportPane : public QWidget, public CCaller {
    Q_OBJECT
public:
    // The pane reads and changes `options` (Options button, Start); they must
    // outlive it.
    explicit CImportPane(COptions& options, QWidget* parent = nullptr);
    ~CImportPane() override;

    // The import step of a dropped or opened path: imports it into the engine
    // and enables Start when the clip list is not empty. Refused (false) while
    // an export runs, because the export thread reads the clip list.
    bool ImportPath(const QString& path);

    // Button actions.
    void ClearSession();
    void StartOrPause();
    void ShowOptions();

    // True from Start until the export's end has been shown.
    bool IsRunning() const { return m_running; }
    CVorn& Engine() { return m_vorn; }
    CFramePreview* Preview() { return m_preview; }

    QPlainTextEdit* Log() const { return m_log; }
    QProgressBar* Progress() const { return m_progress; }
    QPushButton* StartButton() const { return m_start; }
    QPushButton* OptionsButton() const { return m_options; }
    QPushButton* ClearButton() const { return m_clear; }

    // CCaller, called from any thread.
    void ExportDone() override;
    void MessageString(const QelString& text, int replaceLog, int flag) override;
    void Message(const char* text, int replaceLog, int flag) override;
    void SetProgress(int ignored, int percent) override;

    // What Start asks before it starts (the processor's instruction sets) and how
    // the pause question is answered; tests replace them.
    static std::function<bool()>& processorCheck();
    std::function<bool()> askAbort;

signals:
    // The export's end has been shown (verdict in the log, buttons back to Start).
    void exportEnded();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Pending {
        enum Kind { Append, Replace, Progress, Done } kind;
        QString text;
        int percent = 0;
    };

    void post(Pending item);
    void flushPending();
    void appendText(const QString& text);
    void finishExport();
    void layoutChildren();

    COptions& m_settings;
    QPlainTextEdit* m_log = nullptr;
    CVorn m_vorn;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_options = nullptr;
    QPushButton* m_clear = nullptr;
    CFramePreview* m_preview = nullptr;
    bool m_running = false;

    QMutex m_pendingMutex;
    std::vector<Pending> m_pending; // guarded by m_pendingMutex
    bool m_flushPosted = false;     // guarded by m_pendingMutex
};

} // namespace vorn::ui
