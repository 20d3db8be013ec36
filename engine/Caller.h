// The engine's callback interface. The import pane (or the command line)
// implements it; every user-visible engine text, message box and the progress
// go through it.
#pragma once

#include "foundation/Notifier.h"
#include "foundation/QelString.h"

#include <atomic>
#include <cstdint>
#include <string>

class CCaller {
public:
    // The export has ended; the implementer prints the verdict.
    virtual void ExportDone() = 0;
    // Shows a text exactly as Message does.
    virtual void MessageString(const QelString& text, int replaceLog, int flag) { (void)text; (void)replaceLog; (void)flag; }
    // replaceLog non-zero: the text replaces the whole log; 0: it is appended.
    virtual void Message(const char* text, int replaceLog, int flag) { (void)text; (void)replaceLog; (void)flag; }
    // Sets the progress bar to percent (0 to 100); the first argument is ignored.
    virtual void SetProgress(int ignored, int percent) { (void)ignored; (void)percent; }
    // A message box (title, text) the user must see: the window shows it, the
    // command line prints it. The default hands it to the program's notify
    // handler (vorn::notify).
    virtual void Notify(const std::string& title, const std::string& text) { vorn::notify(title, text); }
    virtual ~CCaller() = default;

    void Abort() { m_aborted.store(1, std::memory_order_relaxed); }
    bool IsAborted() const { return m_aborted.load(std::memory_order_relaxed) != 0; }
    void SetError() { m_hadErrors.store(1, std::memory_order_relaxed); }
    bool HadErrors() const { return m_hadErrors.load(std::memory_order_relaxed) != 0; }
    void ResetFlags() { m_aborted.store(0, std::memory_order_relaxed); m_hadErrors.store(0, std::memory_order_relaxed); }

protected:
    // Set by the user-interface thread, polled by the export thread.
    std::atomic<uint8_t> m_aborted{0};
    std::atomic<uint8_t> m_hadErrors{0};
};
