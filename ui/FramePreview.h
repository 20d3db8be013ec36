// The two preview windows, "Decoded Frame" and "Processed Frame", that show
// the pictures of a running conversion. The export thread hands frames over
// with offerFrame(); drawing happens on the windows' thread. The export thread
// never waits: a frame that arrives while the window's previous frame is still
// waiting to be drawn is dropped.
#pragma once

#include "engine/FramePreview.h"

#include <QImage>
#include <QObject>
#include <QWidget>

#include <atomic>

namespace vorn::ui {

class CPreviewWindow : public QWidget {
    Q_OBJECT
public:
    explicit CPreviewWindow(const QString& title);
    void setFrame(const QImage& image);
    const QImage& frame() const { return m_image; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_image;
};

class CFramePreview : public QObject, public vorn::FramePreview {
    Q_OBJECT
public:
    enum Target { Decoded = kDecoded, Processed = kProcessed };

    explicit CFramePreview(QObject* parent = nullptr);
    ~CFramePreview() override;

    // Export thread: converts the picture to a bitmap at the scale and hands it
    // to the window, unless the window's previous picture is still waiting.
    void ShowFrame(const dv::PictureBuffer& picture, VideoFormat format, int scale, int window) override;

    // Any thread: queues the picture for a window (1 "Decoded Frame", anything
    // else "Processed Frame"). Returns false when it was dropped because the
    // window's previous picture has not been drawn yet.
    bool offerFrame(int window, QImage image);

    CPreviewWindow* window(int window) const;
    // Frames drawn and dropped since creation (per window).
    int drawnCount(int window) const;
    int droppedCount(int window) const;

private:
    struct Slot {
        CPreviewWindow* widget = nullptr;
        std::atomic<bool> busy{false};
        std::atomic<int> drawn{0};
        std::atomic<int> dropped{0};
        QSize frameSize;
    };
    bool reserve(Slot& s);
    void post(int window, QImage image);
    Slot& slot(int window);
    const Slot& slot(int window) const;
    void draw(int window, const QImage& image);

    Slot m_decoded;
    Slot m_processed;
};

} // namespace vorn::ui
