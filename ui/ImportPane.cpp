#include "ui/ImportPane.h"

#include "foundation/Cpu.h"
#include "foundation/Options.h"
#include "ui/AppInfo.h"
#include "ui/FramePreview.h"
#include "ui/OptionsDialog.h"

#include <QCoreApplication>
#include <QFile>
#include <QMessageBox>
#include <QMetaObject>
#include <QMutexLocker>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTextCursor>
#include <QThread>

namespace vorn::ui {

namespace {

constexpr char kWelcome[] = "Kestro Vorn 2.0.2 - Converts MXF to MXF with FX.\r\n";
constexpr char kDropHint[] = "Drag into here one or more MXF files, or a folder containing MXF files,\r\n"
                             "   or a P2 card image, CONTENTS or VIDEO folder.\r\n";
constexpr char kProcessorWarning[] =
    "WARNING: Your processor is not Pentium 4/Athlon 64 compatible. Vorn will not function properly\r\n";
constexpr char kAborted[] = "\r\n*** Export Aborted ***\r\n";
constexpr char kWithErrors[] = "\r\n*** Export completed with errors ***\r\n";
constexpr char kComplete[] = "\r\n*** Export is complete ***\r\n";
constexpr char kPressClear[] = "\r\nPress Clear to start a new session.\r\n";

} // namespace

std::function<bool()>& CImportPane::processorCheck()
{
    static std::function<bool()> check = [] { return vorn::processorHasSse2(); };
    return check;
}

CImportPane::CImportPane(COptions& options, QWidget* parent)
    : QWidget(parent), m_settings(options)
{
    setObjectName(QStringLiteral("importPane"));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);

    const QFont font = paneFont();
    m_log = new QPlainTextEdit(this);
    m_log->setObjectName(QStringLiteral("log"));
    m_log->setReadOnly(true);
    m_log->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_log->setFont(font);
    // Drops go to the main window, which imports them.
    m_log->setAcceptDrops(false);
    m_log->viewport()->setAcceptDrops(false);

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setRange(0, 100);
    m_progress->setTextVisible(false);

    auto makeButton = [&](const char* text, const char* name) {
        auto* b = new QPushButton(QString::fromLatin1(text), this);
        b->setObjectName(QString::fromLatin1(name));
        b->setFont(font);
        b->setFixedSize(120, 32);
        return b;
    };
    m_start = makeButton("Start", "startButton");
    m_options = makeButton("Options", "optionsButton");
    m_clear = makeButton("Clear", "clearButton");
    connect(m_start, &QPushButton::clicked, this, [this] { StartOrPause(); });
    connect(m_options, &QPushButton::clicked, this, [this] { ShowOptions(); });
    connect(m_clear, &QPushButton::clicked, this, [this] { ClearSession(); });

    askAbort = [this] {
        return QMessageBox::question(this, QString::fromLatin1(kMessageTitle),
                                     QStringLiteral("Abort processing?"),
                                     QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            == QMessageBox::Yes;
    };

    m_preview = new CFramePreview(this);

    resize(100, 100);
    ClearSession();
}

CImportPane::~CImportPane()
{
    // The export thread calls this pane: stop it and let it end first. Events
    // keep being handled meanwhile, so a message box it raises can be answered.
    if (m_vorn.IsExporting()) {
        Abort();
        m_vorn.ClearPause();
        while (m_vorn.IsExporting()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QThread::msleep(10);
        }
    }
    m_vorn.WaitForExport();
}

void CImportPane::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layoutChildren();
}

void CImportPane::layoutChildren()
{
    const int w = width();
    const int h = height();
    m_log->setGeometry(10, 10, qMax(0, w - 20), qMax(0, h - 87));
    m_progress->setGeometry(10, h - 72, qMax(0, w - 20), 20);
    const int y = h - 47;
    int x = w / 2 - 190;
    for (QPushButton* b : {m_start, m_options, m_clear}) {
        b->move(x, y);
        x += 130;
    }
}

bool CImportPane::ImportPath(const QString& path)
{
    if (m_running)
        return false;
    // The file system's own bytes for the name.
    const QByteArray bytes = QFile::encodeName(path);
    m_vorn.Import(this, bytes.constData());
    if (m_vorn.FileCount() > 0)
        m_start->setEnabled(true);
    return true;
}

void CImportPane::ClearSession()
{
    if (m_running)
        return;
    ResetFlags();
    m_progress->setValue(0);
    m_log->setPlainText(engineText(kWelcome));
    appendText(engineText(kDropHint));
    m_start->setEnabled(false);
    m_vorn.ClearFiles();
}

void CImportPane::ShowOptions()
{
    COptionsDialog dialog(m_settings, this);
    dialog.exec();
}

void CImportPane::StartOrPause()
{
    if (m_running) {
        // Pause: the export thread waits at its next check while the question is open.
        m_vorn.SetPause();
        const bool abort = askAbort ? askAbort() : false;
        if (abort && m_running)
            Abort();
        m_vorn.ClearPause();
        return;
    }
    if (!processorCheck()()) {
        appendText(engineText(kProcessorWarning));
        return;
    }
    if (m_vorn.FileCount() == 0)
        return;

    m_running = true;
    m_start->setText(QStringLiteral("Pause"));
    m_options->setEnabled(false);
    m_clear->setEnabled(false);

    const COptions& options = m_settings;
    m_vorn.SetDestination(options.getString(OptionKey::DestinationFolder).c_str());
    m_vorn.SetPulldown(options.getBool(OptionKey::RemovePulldown) ? 1 : 0,
                       options.getBool(OptionKey::AddPulldown) ? 1 : 0);
    m_vorn.SetDesiredRate(options.getFloat(OptionKey::DesiredFrameRate, 23.976f));
    m_vorn.SetPreviewTarget(CFramePreview::Decoded, 80);
    m_vorn.SetPreview(m_preview);
    m_vorn.ClearPause();
    m_vorn.StartExport(this, vorn::exportOptionsFrom(options));
}

// ---- CCaller: queue on any thread, carry out on the pane's thread ----

void CImportPane::ExportDone()
{
    const char* verdict = IsAborted() ? kAborted : HadErrors() ? kWithErrors : kComplete;
    Message(verdict, 0, 1);
    Message(kPressClear, 0, 0);
    post({Pending::Done, {}, 0});
}

void CImportPane::MessageString(const QelString& text, int replaceLog, int flag)
{
    Message(text.c_str(), replaceLog, flag);
}

void CImportPane::Message(const char* text, int replaceLog, int /*flag*/)
{
    post({replaceLog ? Pending::Replace : Pending::Append, engineText(text), 0});
}

void CImportPane::SetProgress(int /*ignored*/, int percent)
{
    post({Pending::Progress, {}, percent});
}

void CImportPane::post(Pending item)
{
    const bool here = QThread::currentThread() == thread();
    bool schedule = false;
    {
        QMutexLocker lock(&m_pendingMutex);
        m_pending.push_back(std::move(item));
        if (!here && !m_flushPosted) {
            m_flushPosted = true;
            schedule = true;
        }
    }
    if (here)
        flushPending(); // earlier queued items first, so the order holds
    else if (schedule)
        QMetaObject::invokeMethod(this, [this] { flushPending(); }, Qt::QueuedConnection);
}

void CImportPane::flushPending()
{
    std::vector<Pending> items;
    {
        QMutexLocker lock(&m_pendingMutex);
        items.swap(m_pending);
        m_flushPosted = false;
    }
    // Consecutive appends become one insertion at the end of the log.
    QString appendRun;
    auto flushAppends = [&] {
        if (!appendRun.isEmpty()) {
            appendText(appendRun);
            appendRun.clear();
        }
    };
    for (Pending& item : items) {
        switch (item.kind) {
        case Pending::Append:
            appendRun += item.text;
            break;
        case Pending::Replace:
            appendRun.clear();
            m_log->setPlainText(item.text);
            m_log->verticalScrollBar()->setValue(m_log->verticalScrollBar()->maximum());
            break;
        case Pending::Progress:
            flushAppends();
            m_progress->setValue(qBound(0, item.percent, 100));
            break;
        case Pending::Done:
            flushAppends();
            finishExport();
            break;
        }
    }
    flushAppends();
}

void CImportPane::appendText(const QString& text)
{
    if (text.isEmpty())
        return;
    QTextCursor cursor(m_log->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    QScrollBar* bar = m_log->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void CImportPane::finishExport()
{
    m_running = false;
    m_start->setText(QStringLiteral("Start"));
    m_options->setEnabled(true);
    m_clear->setEnabled(true);
    emit exportEnded();
}

} // namespace vorn::ui
