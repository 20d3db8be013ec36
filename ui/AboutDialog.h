// The About box. Opened from the Help menu it shows the title, the picture and
// the publisher's links with OK; at start-up it is a borderless splash of the
// same size with the titles and the picture, closed after four seconds or by a click.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QList>
#include <QPushButton>

namespace vorn::ui {

class CHyperLink;

class CAboutDialog : public QDialog {
    Q_OBJECT
public:
    enum Mode { Normal, Splash };
    explicit CAboutDialog(Mode mode, QWidget* parent = nullptr);

    Mode mode() const { return m_mode; }
    // How long the splash stays (4 seconds).
    static constexpr int kSplashMilliseconds = 4000;

    QLabel* picture = nullptr;
    QPushButton* okButton = nullptr;
    QList<QLabel*> labels;
    QList<CHyperLink*> links;

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    Mode m_mode;
};

} // namespace vorn::ui
