// Start, Pause and the verdict: the pane drives a real export of a small sample
// card, and an export through a held exporter (a gate the test opens) to reach
// each state of the pane and to answer "Abort processing?" at a known frame.
#include "engine/SampleCard.h"
#include "foundation/Options.h"
#include "mxf/ExportBase.h"
#include "ui/FramePreview.h"
#include "ui/ImportPane.h"
#include "ui/MainWindow.h"

#include <QDir>
#include <QDirIterator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <condition_variable>
#include <filesystem>
#include <mutex>

using namespace vorn::ui;
namespace fs = std::filesystem;

namespace {

constexpr char kPressClear[] = "\nPress Clear to start a new session.\n";

// Counts what an export writes; WriteVideo holds at frame `holdAt` until opened.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int holdAt = -1;
    bool held = false;
    bool open = false;
    int frames = 0;
    int clipsOpened = 0;

    void waitUntilHeld()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return held; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

class HeldExporter : public vorn::mxf::CExportBase {
public:
    explicit HeldExporter(Gate& gate) : m_gate(gate) {}
    vorn::Status Open(int, bool) override
    {
        std::lock_guard lock(m_gate.mutex);
        ++m_gate.clipsOpened;
        return {};
    }
    vorn::Status Close() override { return {}; }
    vorn::Status WriteAudio(const uint8_t*, size_t, int) override { return {}; }
    vorn::Status WriteVideo(uint8_t*, size_t) override
    {
        std::unique_lock lock(m_gate.mutex);
        if (++m_gate.frames == m_gate.holdAt) {
            m_gate.held = true;
            m_gate.changed.notify_all();
            m_gate.changed.wait(lock, [this] { return m_gate.open; });
        }
        return {};
    }
    vorn::Status BeginClip(int64_t, uint32_t, uint32_t, bool, int) override { return {}; }
    vorn::Status WriteThumbnail(const uint8_t*, size_t, int, bool) override { return {}; }

private:
    Gate& m_gate;
};

int countVideoFiles(const QString& root)
{
    int n = 0;
    QDirIterator it(root, {QStringLiteral("*.MXF")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        if (it.next().contains(QStringLiteral("/VIDEO/")))
            ++n;
    return n;
}

struct PaneState {
    QString startText;
    bool start, options, clear;
};
PaneState stateOf(const CImportPane& pane)
{
    return {pane.StartButton()->text(), pane.StartButton()->isEnabled(), pane.OptionsButton()->isEnabled(),
            pane.ClearButton()->isEnabled()};
}

} // namespace

class ExportTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_card;
    QStringList m_videos; // the clips exported here: ones the converter copies
    int m_clips = 0;
    QString m_dest;
    COptions m_options; // the program's options of the running test

    void useDestination(const QString& folder)
    {
        m_dest = folder;
        m_options.setString(OptionKey::DestinationFolder, folder.toStdString());
    }
    void importClips(CImportPane& pane)
    {
        for (const QString& v : m_videos)
            QVERIFY(pane.ImportPath(v));
    }
    static void holdExports(CImportPane& pane, Gate& gate)
    {
        pane.Engine().SetExporterFactory([&gate](const std::string&, const std::string&) {
            return std::make_unique<HeldExporter>(gate);
        });
    }
    static bool waitForEnd(CImportPane& pane, QSignalSpy& ended)
    {
        return !pane.IsRunning() || ended.wait(120000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_card = m_dir.filePath(QStringLiteral("CARD"));
        vorn::SampleCardOptions options;
        options.seconds = 1;
        const vorn::SampleCardResult card = vorn::writeSampleCard(fs::path(m_card.toStdString()), options);
        QVERIFY2(card.ok, card.error.c_str());
        QVERIFY(card.videoFiles.size() >= 2);
        for (size_t i = 0; i < 2; ++i)
            m_videos << QString::fromStdString(card.videoFiles[i].string());
        m_clips = int(m_videos.size());
    }
    void init()
    {
        m_options = COptions();
        CImportPane::processorCheck() = [] { return true; };
    }

    void startExportsTheCardAndStartRunsItAgain()
    {
        useDestination(m_dir.filePath(QStringLiteral("out-twice")));
        CImportPane pane(m_options);
        QSignalSpy ended(&pane, &CImportPane::exportEnded);
        importClips(pane);
        QCOMPARE(pane.Engine().FileCount(), m_clips);

        for (int round = 1; round <= 2; ++round) {
            pane.StartButton()->click();
            QVERIFY(waitForEnd(pane, ended));
            const QString log = pane.Log()->toPlainText();
            QVERIFY2(log.endsWith(QStringLiteral("\n*** Export is complete ***\n") + QString::fromLatin1(kPressClear)),
                     qPrintable(log.right(600)));
            QVERIFY(log.contains(QStringLiteral("Destination folder: ") + m_dest));
            QCOMPARE(pane.Progress()->value(), 100);
            QCOMPARE(pane.StartButton()->text(), QStringLiteral("Start"));
            QVERIFY(pane.StartButton()->isEnabled());
            QCOMPARE(pane.Engine().FileCount(), m_clips); // the list stays for another run
            QCOMPARE(countVideoFiles(m_dest), round * m_clips);
        }
        QCOMPARE(ended.size(), 2);
    }

    void paneStates_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("startText");
        QTest::addColumn<bool>("start");
        QTest::addColumn<bool>("options");
        QTest::addColumn<bool>("clear");
        QTest::newRow("empty") << "empty" << "Start" << false << true << true;
        QTest::newRow("ready") << "ready" << "Start" << true << true << true;
        QTest::newRow("running") << "running" << "Pause" << true << false << false;
        QTest::newRow("done") << "done" << "Start" << true << true << true;
        QTest::newRow("done, cleared") << "cleared" << "Start" << false << true << true;
        QTest::newRow("done, running again") << "again" << "Pause" << true << false << false;
    }
    void paneStates()
    {
        QFETCH(QString, state);
        QFETCH(QString, startText);
        QFETCH(bool, start);
        QFETCH(bool, options);
        QFETCH(bool, clear);
        useDestination(m_dir.filePath(QStringLiteral("out-states")));
        Gate gate;
        gate.holdAt = 1;
        CImportPane pane(m_options);
        holdExports(pane, gate);
        QSignalSpy ended(&pane, &CImportPane::exportEnded);
        if (state != QLatin1String("empty"))
            importClips(pane);
        if (state != QLatin1String("empty") && state != QLatin1String("ready")) {
            pane.StartButton()->click();
            if (state != QLatin1String("running")) {
                gate.release();
                QVERIFY(waitForEnd(pane, ended));
            }
            if (state == QLatin1String("cleared"))
                pane.ClearButton()->click();
            if (state == QLatin1String("again"))
                pane.StartButton()->click();
        }
        const PaneState s = stateOf(pane);
        gate.release();
        QCOMPARE(s.startText, startText);
        QCOMPARE(s.start, start);
        QCOMPARE(s.options, options);
        QCOMPARE(s.clear, clear);
        QVERIFY(waitForEnd(pane, ended));
    }

    void pauseAsksWhetherToAbort_data()
    {
        QTest::addColumn<bool>("abort");
        QTest::newRow("yes aborts") << true;
        QTest::newRow("no goes on") << false;
    }
    void pauseAsksWhetherToAbort()
    {
        QFETCH(bool, abort);
        useDestination(m_dir.filePath(QStringLiteral("out-pause")));
        Gate gate;
        gate.holdAt = 3; // inside the first clip
        CImportPane pane(m_options);
        holdExports(pane, gate);
        QSignalSpy ended(&pane, &CImportPane::exportEnded);
        importClips(pane);
        bool pausedWhileAsked = false;
        int asked = 0;
        pane.askAbort = [&] {
            ++asked;
            pausedWhileAsked = pane.Engine().IsPaused();
            gate.release(); // the export thread goes on to its next pause check
            return abort;
        };
        pane.StartButton()->click();
        gate.waitUntilHeld();
        QCOMPARE(pane.StartButton()->text(), QStringLiteral("Pause"));
        pane.StartButton()->click();
        QCOMPARE(asked, 1);
        QVERIFY(pausedWhileAsked);
        QVERIFY(!pane.Engine().IsPaused());
        QVERIFY(waitForEnd(pane, ended));

        const QString log = pane.Log()->toPlainText();
        const QString verdict = abort ? QStringLiteral("\n*** Export Aborted ***\n") : QStringLiteral("\n*** Export is complete ***\n");
        QVERIFY2(log.endsWith(verdict + QString::fromLatin1(kPressClear)), qPrintable(log.right(400)));
        std::lock_guard lock(gate.mutex);
        if (abort) {
            QCOMPARE(gate.clipsOpened, 1); // no further clip was started
            QVERIFY(!log.contains(QStringLiteral("Processing audio")));
        } else {
            QCOMPARE(gate.clipsOpened, m_clips);
        }
        QCOMPARE(pane.StartButton()->text(), QStringLiteral("Start"));
    }

    void startWithoutDestinationEndsAtOnce()
    {
        useDestination(QString());
        CImportPane pane(m_options);
        importClips(pane);
        pane.StartButton()->click();
        QVERIFY(!pane.IsRunning());
        QVERIFY(pane.Log()->toPlainText().endsWith(
            QStringLiteral("\nNo destination selected (click Options to select)\n\n*** Export Aborted ***\n")
            + QString::fromLatin1(kPressClear)));
        QCOMPARE(pane.StartButton()->text(), QStringLiteral("Start"));
        QVERIFY(pane.ClearButton()->isEnabled());
    }

    void startWithAnEmptyListDoesNothing()
    {
        useDestination(m_dir.filePath(QStringLiteral("out-empty")));
        CImportPane pane(m_options);
        const QString before = pane.Log()->toPlainText();
        pane.StartOrPause(); // the button is disabled; the action itself checks too
        QVERIFY(!pane.IsRunning());
        QVERIFY(!pane.Engine().IsExporting());
        QCOMPARE(pane.Log()->toPlainText(), before);
        QCOMPARE(pane.StartButton()->text(), QStringLiteral("Start"));
    }

    void processorWithoutSse2StartsNothing()
    {
        useDestination(m_dir.filePath(QStringLiteral("out-cpu")));
        CImportPane::processorCheck() = [] { return false; };
        CImportPane pane(m_options);
        importClips(pane);
        pane.StartButton()->click();
        QVERIFY(!pane.IsRunning());
        QVERIFY(!pane.Engine().IsExporting());
        QVERIFY(pane.Log()->toPlainText().endsWith(QStringLiteral(
            "\nWARNING: Your processor is not Pentium 4/Athlon 64 compatible. Vorn will not function properly\n")));
        QCOMPARE(pane.StartButton()->text(), QStringLiteral("Start"));
        QVERIFY(!QDir(m_dest).exists());
    }

    void dropsAreRefusedWhileExporting()
    {
        useDestination(m_dir.filePath(QStringLiteral("out-drop")));
        Gate gate;
        gate.holdAt = 1;
        CImportPane pane(m_options);
        holdExports(pane, gate);
        QSignalSpy ended(&pane, &CImportPane::exportEnded);
        importClips(pane);
        pane.StartButton()->click();
        const QString other = m_dir.filePath(QStringLiteral("OTHER"));
        QVERIFY(QDir().mkpath(other));
        QVERIFY(!pane.ImportPath(other));
        gate.release();
        QVERIFY(waitForEnd(pane, ended));
        QCOMPARE(pane.Engine().FileCount(), m_clips);
    }

    void closingDuringAnExportStopsItFirst()
    {
        useDestination(m_dir.filePath(QStringLiteral("out-close")));
        Gate gate;
        gate.holdAt = 2;
        CQuintellVornDlg window;
        window.options() = m_options;
        window.show();
        CImportPane& pane = *window.pane();
        holdExports(pane, gate);
        QSignalSpy ended(&pane, &CImportPane::exportEnded);
        importClips(pane);
        pane.StartButton()->click();
        gate.waitUntilHeld();
        // The export thread still calls the pane: the window stays until it has ended.
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QVERIFY(pane.IsAborted());
        gate.release();
        QVERIFY(waitForEnd(pane, ended));
        QTRY_VERIFY(!window.isVisible());
        QVERIFY(pane.Log()->toPlainText().endsWith(QStringLiteral("\n*** Export Aborted ***\n") + QString::fromLatin1(kPressClear)));
        std::lock_guard lock(gate.mutex);
        QCOMPARE(gate.clipsOpened, 1);
    }

    void previewShowsBothWindowsDuringAConversion()
    {
        useDestination(m_dir.filePath(QStringLiteral("out-preview")));
        COptions& options = m_options;
        options.setBool(OptionKey::ShowFrames, true);
        options.setString(OptionKey::FrameScale, "Quarter scale");
        // A format change of the 1080-line clip: every picture is decoded,
        // changed and encoded again.
        options.setString(OptionKey::DesiredFrameSize, FrameSizeText::To720);
        CImportPane pane(m_options);
        QSignalSpy ended(&pane, &CImportPane::exportEnded);
        QVERIFY(pane.ImportPath(m_videos[0]));
        pane.StartButton()->click();
        QVERIFY(waitForEnd(pane, ended));
        const QString log = pane.Log()->toPlainText();
        QVERIFY2(log.endsWith(QStringLiteral("\n*** Export is complete ***\n") + QString::fromLatin1(kPressClear)),
                 qPrintable(log.right(600)));
        CFramePreview* preview = pane.Preview();
        for (int w : {int(CFramePreview::Decoded), int(CFramePreview::Processed)}) {
            QVERIFY(preview->window(w)->isVisible());
            QVERIFY(preview->drawnCount(w) > 0);
            // The last picture drawn is a quarter of some clip's picture, border around it.
            const QImage& frame = preview->window(w)->frame();
            QVERIFY(!frame.isNull());
            QCOMPARE(preview->window(w)->size(), frame.size() + QSize(10, 28));
        }
        // "Processed Frame" starts at the right edge of "Decoded Frame".
        QCOMPARE(preview->window(2)->frameGeometry().left(), preview->window(1)->frameGeometry().right() + 1);
        QCOMPARE(preview->window(1)->frameGeometry().topLeft(), QPoint(0, 0));
    }
};

QTEST_MAIN(ExportTest)
#include "export_test.moc"
