#include "ui/AboutDialog.h"

#include "ui/AppInfo.h"
#include "ui/HyperLink.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QTimer>
#include <QVBoxLayout>

namespace vorn::ui {

namespace {

struct LinkRow {
    const char* label;
    const char* text;
    const char* address;
};

// The publisher's pages.
constexpr LinkRow kLinks[] = {
    {"More information on Quintell Vorn:", "quintell.example/vorn", "https://quintell.example/vorn/"},
    {"User forums:", "quintell.example/forums", "https://quintell.example/forums/"},
    {"Quintell Tutorials:", "quintell.example/tutorials", "https://quintell.example/tutorials/"},
    {"Recommended camera settings: ", "quintell.example/vorn/camera", "https://quintell.example/vorn/camera-settings/"},
    {"Read the book on transfer to film:", "quintell.example/book", "https://quintell.example/book/"},
};

QFont titleFont()
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(12);
    font.setBold(true);
    return font;
}

} // namespace

CAboutDialog::CAboutDialog(Mode mode, QWidget* parent)
    : QDialog(parent, mode == Splash ? Qt::SplashScreen | Qt::FramelessWindowHint : Qt::Dialog)
    , m_mode(mode)
{
    setObjectName(mode == Splash ? QStringLiteral("aboutSplash") : QStringLiteral("aboutBox"));
    setWindowTitle(QString::fromLatin1(kMainTitle));

    picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("picture"));
    picture->setPixmap(appPicture());
    picture->setAlignment(Qt::AlignCenter);

    auto* title = new QLabel(QStringLiteral("Quintell Vorn Version %1").arg(appVersionText()), this);
    title->setObjectName(QStringLiteral("title"));
    title->setFont(titleFont());
    title->setAlignment(Qt::AlignCenter);
    auto* subtitle = new QLabel(QStringLiteral("Converts MXF to MXF with FX."), this);
    subtitle->setFont(titleFont());
    subtitle->setAlignment(Qt::AlignCenter);

    if (mode == Splash) {
        // The About box without its links and OK, borderless and of the same
        // size: the titles stay at the top, the picture sits in the middle.
        const QSize boxSize = CAboutDialog(Normal).sizeHint();
        auto* titles = new QWidget(this);
        auto* titleLayout = new QVBoxLayout(titles);
        titleLayout->setContentsMargins(0, 0, 0, 0);
        titleLayout->addWidget(title);
        titleLayout->addWidget(subtitle);
        auto* layout = new QGridLayout(this);
        layout->addWidget(titles, 0, 0, Qt::AlignTop | Qt::AlignHCenter);
        layout->addWidget(picture, 0, 0, Qt::AlignCenter);
        setFixedSize(boxSize);
        QTimer::singleShot(kSplashMilliseconds, this, &QDialog::accept);
        return;
    }

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    int row = 0;
    for (const LinkRow& l : kLinks) {
        auto* label = new QLabel(QString::fromLatin1(l.label), this);
        auto* link = new CHyperLink(QString::fromLatin1(l.text), QUrl(QString::fromLatin1(l.address)), this);
        grid->addWidget(label, row, 0, Qt::AlignRight);
        grid->addWidget(link, row, 1, Qt::AlignLeft);
        labels.append(label);
        links.append(link);
        ++row;
    }

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(subtitle);
    layout->addSpacing(8);
    layout->addWidget(picture, 0, Qt::AlignCenter);
    layout->addSpacing(8);
    layout->addLayout(grid);
    layout->addSpacing(8);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(okButton);
    buttons->addStretch();
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CAboutDialog::mousePressEvent(QMouseEvent* event)
{
    if (m_mode == Splash && event->button() == Qt::LeftButton) {
        accept();
        return;
    }
    QDialog::mousePressEvent(event);
}

} // namespace vorn::ui
