// Shows the engine's message boxes ("Quintell", "Quintell AVC-Intra Decoder",
// ...) as QMessageBox on the GUI thread. A thread that raises one waits until
// the user has closed it.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace vorn::ui {

class CGuiNotifier : public QObject {
    Q_OBJECT
public:
    // Installs itself as the process-wide notify handler (must be made on the GUI thread).
    explicit CGuiNotifier(QObject* parent = nullptr);
    // Restores the handler that was installed before.
    ~CGuiNotifier() override;

    // How a box is shown on the GUI thread; tests replace it.
    std::function<void(const QString& title, const QString& text)> show;

private:
    void showOnGuiThread(const QString& title, const QString& text);
    std::function<void(const std::string&, const std::string&)> m_previous;
};

} // namespace vorn::ui
