// The preview windows fed from another thread as the export thread feeds them:
// picture upright and at the chosen scale, windows sized and placed, and a
// picture dropped (never waited for) while the previous one is still queued.
#include "ui/FramePreview.h"

#include <QtTest>

#include <algorithm>
#include <thread>

using namespace vorn::ui;

namespace {

// A packed 4:2:2 picture, rows bottom-up: the top half (last rows in memory)
// is (y, cb, cr) = top, the bottom half bottom.
struct Yuv {
    int y, cb, cr;
};
vorn::dv::PictureBuffer twoBands(int w, int h, Yuv top, Yuv bottom)
{
    vorn::dv::PictureBuffer p(w, h);
    for (int r = 0; r < h; ++r) {
        const Yuv c = r >= h / 2 ? top : bottom;
        uint8_t* row = p.memoryRow(r);
        for (int x = 0; x < w; x += 2) {
            row[2 * x] = uint8_t(c.y);
            row[2 * x + 1] = uint8_t(c.cb);
            row[2 * x + 2] = uint8_t(c.y);
            row[2 * x + 3] = uint8_t(c.cr);
        }
    }
    return p;
}

QRgb expectedRgb(Yuv c)
{
    auto clamp = [](int v) { return std::clamp(v, 0, 255); };
    const int cb = c.cb - 128, cr = c.cr - 128;
    return qRgb(clamp((75 * c.y + 102 * cr) >> 6), clamp((75 * c.y - 25 * cb - 52 * cr) >> 6),
                clamp((75 * c.y + 129 * cb) >> 6));
}

} // namespace

class PreviewTest : public QObject {
    Q_OBJECT
private slots:
    void pictureUprightAtScale_data()
    {
        QTest::addColumn<int>("scale");
        QTest::addColumn<int>("window");
        QTest::newRow("full, decoded") << 1 << 1;
        QTest::newRow("half, processed") << 2 << 2;
        QTest::newRow("quarter, decoded") << 4 << 1;
    }
    void pictureUprightAtScale()
    {
        QFETCH(int, scale);
        QFETCH(int, window);
        const Yuv top{180, 60, 200}, bottom{60, 200, 90};
        const auto picture = twoBands(320, 240, top, bottom);
        CFramePreview preview;
        std::thread exportThread([&] { preview.ShowFrame(picture, 9, scale, window); });
        exportThread.join();
        QTRY_COMPARE(preview.drawnCount(window), 1);

        CPreviewWindow* w = preview.window(window);
        QVERIFY(w->isVisible());
        QVERIFY(preview.window(window == 1 ? 2 : 1)->isVisible()); // both are shown
        const QImage& image = w->frame();
        QCOMPARE(image.size(), QSize(320 / scale, 240 / scale));
        QCOMPARE(w->size(), QSize(320 / scale + 10, 240 / scale + 28));
        QCOMPARE(image.pixel(0, 0), expectedRgb(top));
        QCOMPARE(image.pixel(image.width() - 1, image.height() - 1), expectedRgb(bottom));
        QCOMPARE(preview.window(2)->frameGeometry().left(), preview.window(1)->frameGeometry().right() + 1);
        QCOMPARE(preview.window(1)->frameGeometry().topLeft(), QPoint(0, 0));
    }

    void framesArriveFasterThanDrawnAreDropped()
    {
        const auto picture = twoBands(64, 32, {100, 128, 128}, {50, 128, 128});
        CFramePreview preview;
        // The window's thread is busy (it waits for the join), so only the
        // first picture of each window is queued; the export thread never waits.
        std::thread exportThread([&] {
            for (int i = 0; i < 50; ++i) {
                preview.ShowFrame(picture, 9, 2, 1);
                preview.ShowFrame(picture, 9, 2, 2);
            }
        });
        exportThread.join();
        QCOMPARE(preview.droppedCount(1), 49);
        QCOMPARE(preview.droppedCount(2), 49);
        QTRY_COMPARE(preview.drawnCount(1), 1);
        QTRY_COMPARE(preview.drawnCount(2), 1);
        // Drawn, the window takes the next picture again.
        preview.ShowFrame(picture, 9, 2, 1);
        QTRY_COMPARE(preview.drawnCount(1), 2);
    }

    void unusablePicturesAreIgnored_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("scale");
        QTest::addColumn<int>("bytes"); // -1: the picture's own size
        QTest::newRow("scale 3") << 64 << 32 << 3 << -1;
        QTest::newRow("scale 0") << 64 << 32 << 0 << -1;
        QTest::newRow("smaller than the scale") << 2 << 2 << 4 << -1;
        QTest::newRow("buffer too small") << 64 << 32 << 1 << 100;
    }
    void unusablePicturesAreIgnored()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, scale);
        QFETCH(int, bytes);
        auto picture = twoBands(std::max(width, 2), std::max(height, 2), {100, 128, 128}, {50, 128, 128});
        if (bytes >= 0)
            picture.bytes.resize(size_t(bytes));
        CFramePreview preview;
        preview.ShowFrame(picture, 9, scale, 1);
        QCoreApplication::processEvents();
        QCOMPARE(preview.drawnCount(1), 0);
        QVERIFY(!preview.window(1)->isVisible());
        // Nothing is left reserved: a good picture is drawn afterwards.
        preview.ShowFrame(twoBands(64, 32, {100, 128, 128}, {50, 128, 128}), 9, 2, 1);
        QTRY_COMPARE(preview.drawnCount(1), 1);
    }
};

QTEST_MAIN(PreviewTest)
#include "preview_test.moc"
