#include "ui/FramePreview.h"

#include "dv/ColourConversion.h"

#include <QMetaObject>
#include <QPainter>

namespace vorn::ui {

namespace {
// Border the window keeps around the picture (client = picture + this).
constexpr int kExtraWidth = 10;
constexpr int kExtraHeight = 28;
} // namespace

CPreviewWindow::CPreviewWindow(const QString& title)
    : QWidget(nullptr, Qt::Window)
{
    setWindowTitle(title);
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(720, 540);
}

void CPreviewWindow::setFrame(const QImage& image)
{
    m_image = image;
}

void CPreviewWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    if (!m_image.isNull())
        painter.drawImage(0, 0, m_image);
}

CFramePreview::CFramePreview(QObject* parent)
    : QObject(parent)
{
    m_decoded.widget = new CPreviewWindow(QStringLiteral("Decoded Frame"));
    m_decoded.widget->setObjectName(QStringLiteral("decodedFrame"));
    m_processed.widget = new CPreviewWindow(QStringLiteral("Processed Frame"));
    m_processed.widget->setObjectName(QStringLiteral("processedFrame"));
    m_decoded.widget->move(0, 0);
    m_processed.widget->move(m_decoded.widget->frameGeometry().right() + 1, 0);
}

CFramePreview::~CFramePreview()
{
    delete m_decoded.widget;
    delete m_processed.widget;
}

CFramePreview::Slot& CFramePreview::slot(int window)
{
    return window == Decoded ? m_decoded : m_processed;
}

const CFramePreview::Slot& CFramePreview::slot(int window) const
{
    return window == Decoded ? m_decoded : m_processed;
}

CPreviewWindow* CFramePreview::window(int window) const
{
    return slot(window).widget;
}

int CFramePreview::drawnCount(int window) const { return slot(window).drawn.load(); }
int CFramePreview::droppedCount(int window) const { return slot(window).dropped.load(); }

bool CFramePreview::reserve(Slot& s)
{
    bool expected = false;
    if (s.busy.compare_exchange_strong(expected, true))
        return true;
    s.dropped.fetch_add(1, std::memory_order_relaxed);
    return false;
}

void CFramePreview::post(int window, QImage image)
{
    const int target = window == Decoded ? Decoded : Processed;
    QMetaObject::invokeMethod(this, [this, target, image = std::move(image)] { draw(target, image); },
                              Qt::QueuedConnection);
}

bool CFramePreview::offerFrame(int window, QImage image)
{
    if (!reserve(slot(window)))
        return false;
    post(window, std::move(image));
    return true;
}

void CFramePreview::ShowFrame(const dv::PictureBuffer& picture, VideoFormat /*format*/, int scale, int window)
{
    if (scale != 1 && scale != 2 && scale != 4)
        return;
    const int w = picture.width / scale;
    const int h = picture.height / scale;
    if (w <= 0 || h <= 0 || picture.size() < static_cast<size_t>(picture.pitch()) * static_cast<size_t>(picture.height))
        return;
    Slot& s = slot(window);
    if (!reserve(s))
        return;
    // The bitmap comes bottom row first; the image is stored top row first.
    QImage bitmap(w, h, QImage::Format_BGR888);
    const bool converted =
        !bitmap.isNull()
        && dv::packedToBgr({picture.data(), picture.size()}, picture.width, picture.height, scale,
                           {bitmap.bits(), static_cast<size_t>(bitmap.sizeInBytes())}, bitmap.bytesPerLine());
    if (!converted) {
        s.busy.store(false);
        return;
    }
    post(window, std::move(bitmap).mirrored(false, true));
}

void CFramePreview::draw(int window, const QImage& image)
{
    Slot& s = slot(window);
    // Sized before it is shown, so the window manager maps it at its size.
    if (image.size() != s.frameSize) {
        s.frameSize = image.size();
        s.widget->resize(image.width() + kExtraWidth, image.height() + kExtraHeight);
    }
    if (!m_decoded.widget->isVisible())
        m_decoded.widget->show();
    if (!m_processed.widget->isVisible())
        m_processed.widget->show();
    // "Decoded Frame" stays at the left; "Processed Frame" starts at its right edge.
    m_decoded.widget->move(0, 0);
    m_processed.widget->move(m_decoded.widget->frameGeometry().right() + 1, 0);
    s.widget->setFrame(image);
    s.widget->repaint();
    s.drawn.fetch_add(1, std::memory_order_relaxed);
    s.busy.store(false);
}

} // namespace vorn::ui
