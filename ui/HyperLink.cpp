#include "ui/HyperLink.h"

#include "ui/AppInfo.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

namespace vorn::ui {

CHyperLink::CHyperLink(const QString& text, const QUrl& target, QWidget* parent)
    : QLabel(text, parent)
    , m_target(target)
{
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setToolTip(target.toString());
    applyColour();
}

void CHyperLink::applyColour()
{
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, m_visited ? QColor(128, 0, 128) : QColor(0, 0, 255));
    setPalette(pal);
}

void CHyperLink::open()
{
    m_visited = true;
    applyColour();
    openWebPage(m_target);
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        open();
    QLabel::mouseReleaseEvent(event);
}

void CHyperLink::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        open();
        return;
    }
    QLabel::keyPressEvent(event);
}

void CHyperLink::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);
    if (hasFocus()) {
        QPainter painter(this);
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = contentsRect();
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

} // namespace vorn::ui
