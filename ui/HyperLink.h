// A text link: underlined, blue until it has been clicked and purple after,
// a hand cursor over it, a focus frame when it has the focus; a click opens
// its address with the desktop's handler (http and https only).
#pragma once

#include <QLabel>
#include <QUrl>

namespace vorn::ui {

class CHyperLink : public QLabel {
    Q_OBJECT
public:
    CHyperLink(const QString& text, const QUrl& target, QWidget* parent = nullptr);

    const QUrl& target() const { return m_target; }
    bool visited() const { return m_visited; }
    void open();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void applyColour();
    QUrl m_target;
    bool m_visited = false;
};

} // namespace vorn::ui
