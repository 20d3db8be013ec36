#include "ui/GuiNotifier.h"

#include "foundation/Notifier.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

namespace vorn::ui {

CGuiNotifier::CGuiNotifier(QObject* parent)
    : QObject(parent)
{
    show = [](const QString& title, const QString& text) {
        QMessageBox::warning(QApplication::activeWindow(), title, text);
    };
    m_previous = vorn::setNotifyHandler([this](const std::string& title, const std::string& text) {
        const QString t = QString::fromUtf8(title.c_str());
        QString body = QString::fromUtf8(text.c_str());
        body.remove(QLatin1Char('\r'));
        if (QThread::currentThread() == thread())
            showOnGuiThread(t, body);
        else
            QMetaObject::invokeMethod(this, [this, t, body] { showOnGuiThread(t, body); },
                                      Qt::BlockingQueuedConnection);
    });
}

CGuiNotifier::~CGuiNotifier()
{
    vorn::setNotifyHandler(std::move(m_previous));
}

void CGuiNotifier::showOnGuiThread(const QString& title, const QString& text)
{
    if (show)
        show(title, text);
}

} // namespace vorn::ui
