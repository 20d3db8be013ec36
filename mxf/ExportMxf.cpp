#include "mxf/ExportMxf.h"

#include "dv/DvSystemData.h"
#include "foundation/Log.h"
#include "foundation/Notifier.h"
#include "foundation/QelString.h"
#include "mxf/ClipIcon.h"
#include "mxf/ClipPaths.h"
#include "mxf/Timecode.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>

namespace fs = std::filesystem;

namespace vorn::mxf {

namespace {
constexpr const char* kTitle = "Quintell";

std::mutex g_thumbMutex;
CExportMxf::ThumbnailWriter g_thumbnailWriter;

// Reads four numbers separated by single characters ("01:00:00:00", "01:00:00;00").
bool parseTimecodeText(const std::string& text, int out[4])
{
    size_t p = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p >= text.size()) return false;
            ++p;   // any single separator
        }
        size_t start = p;
        long v = 0;
        while (p < text.size() && std::isdigit(static_cast<unsigned char>(text[p])) && p - start < 6)
            v = v * 10 + (text[p++] - '0');
        if (p == start) return false;
        out[i] = int(v);
    }
    return true;
}
} // namespace

CExportMxf::CExportMxf(const std::string& sourcePath, const std::string& outputFolder)
    : m_sourcePath(sourcePath), m_outputFolder(outputFolder)
{
    m_clipName = fs::path(sourcePath).stem().string();
}

CExportMxf::~CExportMxf()
{
    if (m_clipOpen) Discard();
}

void CExportMxf::SetThumbnailWriter(ThumbnailWriter writer)
{
    std::lock_guard<std::mutex> lock(g_thumbMutex);
    g_thumbnailWriter = std::move(writer);
}

void CExportMxf::SetFrameCount(int64_t count)
{
    CExportBase::SetFrameCount(count);
    m_cards.SetNeed(m_formatCode, m_frameCount);
}

void CExportMxf::SetFormatCode(int code)
{
    CExportBase::SetFormatCode(code);
    m_cards.SetNeed(m_formatCode, m_frameCount);
}

void CExportMxf::SetMetadata(const std::string& key, const std::string& value) { m_metadata.SetValue(key, value); }

fs::path CExportMxf::audioPath(int channel) const
{
    return m_audioDir / (m_name + qelFormat("%02d", channel) + ".MXF");
}

fs::path CExportMxf::SourceClipXmlPath() const
{
    const ClipPaths paths = clipPathsOf(m_sourcePath.string());
    return findInSibling(paths, "CLIP", paths.name + ".xml");
}

void CExportMxf::reportFailure(const std::string& text, bool messageBox)
{
    m_lastError = text;
    logf(LOG_ERROR, "CExportMxf", "%s", text.c_str());
    if (messageBox) vorn::notify(kTitle, text);
}

bool CExportMxf::nameTaken(const std::string& name)
{
    // A clip name is in use when any card of the destination holds a file of
    // that clip (its video, XML, icon, proxy, or a channel's audio or voice
    // file), finished or still being written by another export. The index
    // answers for what was there when it was made and what this run took;
    // the clip's own paths in the chosen card are looked at now, for what
    // another export has written since.
    if (m_index->Taken(name)) return true;
    std::vector<fs::path> paths{m_videoDir / (name + ".MXF"), m_clipDir / (name + ".XML"), m_iconDir / (name + ".BMP")};
    for (int c = 0; c < m_audioChannels; ++c) paths.push_back(m_audioDir / (name + qelFormat("%02d", c) + ".MXF"));
    std::error_code ec;
    for (const auto& p : paths) {
        if (fs::exists(fs::symlink_status(p, ec))) {
            m_index->Found(name);
            return true;
        }
    }
    return false;
}

std::string CExportMxf::UniqueClipName(const std::string& wanted, const std::function<bool(const std::string&)>& taken)
{
    if (wanted.empty()) return {};
    if (!taken(wanted)) return wanted;
    const bool p2Form = wanted.size() == 6 && std::all_of(wanted.begin(), wanted.begin() + 4, [](char c) {
                            return c >= '0' && c <= '9';
                        }) && std::all_of(wanted.begin() + 4, wanted.end(), [](char c) {
                            return std::isalnum(static_cast<unsigned char>(c)) != 0;
                        });
    if (p2Form) {
        const int number = std::stoi(wanted.substr(0, 4));
        for (int n = number + 1; n <= 9999; ++n) {
            std::string candidate = qelFormat("%04d", n) + wanted.substr(4);
            if (!taken(candidate)) return candidate;
        }
        return {};
    }
    for (int n = 2; n <= 9999; ++n) {
        std::string candidate = wanted + "_" + std::to_string(n);
        if (!taken(candidate)) return candidate;
    }
    return {};
}

bool CExportMxf::createFolders(std::string& why)
{
    // Made one level at a time so that Discard can take back exactly the
    // folders this clip made.
    for (const fs::path& dir : {m_videoDir, m_audioDir, m_clipDir, m_iconDir, m_voiceDir, m_proxyDir}) {
        std::vector<fs::path> missing;
        std::error_code ec;
        for (fs::path p = dir; !p.empty(); p = p.parent_path()) {
            if (fs::exists(fs::symlink_status(p, ec))) break;
            missing.push_back(p);
            if (p.parent_path() == p) break;
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            if (fs::create_directory(*it, ec)) {
                m_createdFolders.push_back(*it);
                continue;
            }
            // Another export made it meanwhile: a folder that is not ours to take back.
            if (ec || !fs::is_directory(fs::symlink_status(*it, ec))) {
                // An entry that is not a folder on the way gives no error code of its own.
                why = it->string() + ": " + (ec ? ec.message() : std::strerror(ENOTDIR));
                return false;
            }
        }
        if (!fs::is_directory(dir, ec)) {
            why = dir.string() + ": " + (ec ? ec.message() : std::strerror(ENOTDIR));
            return false;
        }
    }
    return true;
}

TempOutputFile* CExportMxf::createPending(const fs::path& finalPath, bool video)
{
    if (!m_clipOpen) return nullptr;
    // A later file for the same final path replaces the earlier one.
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->file->finalPath() != finalPath) continue;
        it->file->Finish();
        std::error_code ec;
        fs::remove(it->file->tempPath(), ec);
        m_pending.erase(it);
        break;
    }
    std::string error;
    auto file = TempOutputFile::CreateFor(finalPath, error);
    if (!file) {
        // A name too long for the file system is this clip's own; the next clip may fit.
        if (errno == ENAMETOOLONG) m_errorKind = kErrorClip;
        reportFailure("Could not open " + finalPath.string() + " file for writing: " + error);
        return nullptr;
    }
    TempOutputFile* raw = file.get();
    m_pending.push_back(Pending{std::move(file), video});
    return raw;
}

std::ostream* CExportMxf::CreateClipFile(const fs::path& finalPath)
{
    TempOutputFile* f = createPending(finalPath, false);
    return f ? &f->stream() : nullptr;
}

int CExportMxf::WriteClipFile(const fs::path& finalPath, const void* data, size_t size)
{
    TempOutputFile* f = createPending(finalPath, false);
    if (!f) return 0;
    f->stream().write(static_cast<const char*>(data), std::streamsize(size));
    if (!f->Finish()) {
        reportFailure("Could not write " + finalPath.string() + ": " + f->errorText());
        return 0;
    }
    return 1;
}

int CExportMxf::CopyClipFile(const std::string& sourcePath, const fs::path& finalPath)
{
    std::error_code ec;
    if (!m_clipOpen) return 0;
    // Regular files only: opening a FIFO would wait for a writer forever.
    if (!fs::is_regular_file(sourcePath, ec)) {
        m_lastError = "Could not read " + sourcePath + ": " +
                      (ec ? ec.message() : fs::exists(sourcePath, ec) ? std::string("not a regular file")
                                                                      : std::string(std::strerror(ENOENT)));
        return 0;
    }
    std::FILE* in = std::fopen(sourcePath.c_str(), "rb");
    if (!in) {
        reportFailure("Could not read " + sourcePath + ": " + std::strerror(errno));
        return 0;
    }
    TempOutputFile* f = createPending(finalPath, false);
    if (!f) {
        std::fclose(in);
        return 0;
    }
    std::vector<char> buf(1 << 16);
    int readError = 0;
    for (;;) {
        errno = 0;
        const size_t got = std::fread(buf.data(), 1, buf.size(), in);
        if (got > 0) f->stream().write(buf.data(), std::streamsize(got));
        if (got < buf.size()) {
            if (std::ferror(in)) readError = errno ? errno : EIO;
            break;
        }
    }
    std::fclose(in);
    if (readError) {
        // A copy that did not get every byte is never moved into place.
        dropPending(f);
        reportFailure("Could not read " + sourcePath + ": " + std::strerror(readError));
        return 0;
    }
    if (!f->Finish()) {
        // Left pending and failed: the clip cannot close without it.
        reportFailure("Could not write " + finalPath.string() + ": " + f->errorText());
        return 0;
    }
    return 1;
}

void CExportMxf::dropPending(TempOutputFile* file)
{
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->file.get() != file) continue;
        it->file->Finish();
        std::error_code ec;
        fs::remove(it->file->tempPath(), ec);
        m_pending.erase(it);
        return;
    }
}

bool CExportMxf::finishPending()
{
    bool ok = true;
    for (auto& p : m_pending) {
        if (!p.file->isOpen() && !p.file->failed()) continue;
        if (!p.file->Finish()) {
            reportFailure("Could not write " + p.file->finalPath().string() + ": " + p.file->errorText());
            ok = false;
        }
    }
    return ok;
}

CExportMxf::CommitResult CExportMxf::commitPending()
{
    // The clip XML goes first and the video file last: a reader that finds
    // the video finds the whole clip, and two exports that chose the same
    // name meet at the XML before either has moved anything else.
    auto rank = [this](const Pending& p) { return p.video ? 2 : p.file->finalPath() == m_xmlPath ? 0 : 1; };
    std::stable_sort(m_pending.begin(), m_pending.end(),
                     [&](const Pending& a, const Pending& b) { return rank(a) < rank(b); });
    // A journal in the card folder lets the next export take back a clip
    // whose moves a killed process did not finish.
    std::vector<CommitEntry> entries;
    std::vector<fs::path> folders{m_cards.cardPath()};
    for (const auto& p : m_pending) {
        entries.push_back({p.file->finalPath(), p.file->identity()});
        const fs::path folder = p.file->finalPath().parent_path();
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
    }
    std::string error;
    const fs::path journal = WriteCommitJournal(m_cards.cardPath(), m_name, entries, error);
    bool synced = !journal.empty();
    for (const auto& f : folders) synced = SyncFolder(f) && synced;
    if (!synced) {
        reportFailure("Could not write " + m_videoPath.string() + ": " +
                      (error.empty() ? std::string("folder sync failed") : error));
        std::error_code ec;
        if (!journal.empty()) fs::remove(journal, ec);
        return kCommitFailed;
    }
    CommitResult result = kCommitted;
    size_t moved = 0;
    for (; moved < m_pending.size(); ++moved) {
        const TempOutputFile& f = *m_pending[moved].file;
        if (m_commitHook) m_commitHook(int(moved), f.finalPath());
        std::error_code ec;
        if (RenameNoReplace(f.tempPath(), f.finalPath(), ec)) continue;
        if (ec == std::errc::file_exists) {
            logf(LOG_INFO, "CExportMxf::Close", "%s was taken meanwhile", f.finalPath().string().c_str());
            result = kCommitNameTaken;
        } else {
            reportFailure("Could not write " + f.finalPath().string() + ": " + ec.message());
            result = kCommitFailed;
        }
        break;
    }
    if (result != kCommitted) {
        // Take back the files already moved: to their temporary names when
        // the clip goes on under another name, else away.
        while (moved-- > 0) {
            const TempOutputFile& f = *m_pending[moved].file;
            std::error_code ec;
            if (result == kCommitNameTaken && RenameNoReplace(f.finalPath(), f.tempPath(), ec)) continue;
            fs::remove(f.finalPath(), ec);
            result = kCommitFailed;
        }
    }
    for (const auto& f : folders) SyncFolder(f);
    std::error_code ec;
    fs::remove(journal, ec);
    if (result != kCommitted) return result;
    uint64_t bytes = 0;
    for (const auto& p : m_pending) {
        const uintmax_t size = fs::file_size(p.file->finalPath(), ec);
        if (!ec) bytes += size;
    }
    m_index->AddUsed(m_cards.cardPath(), bytes);
    m_written.clear();
    for (const auto& p : m_pending) m_written.push_back(p.file->finalPath());
    m_pending.clear();
    return kCommitted;
}

bool CExportMxf::renameClip()
{
    // The name is another export's now: the next free one for the clip, its
    // files renamed and the name inside them rewritten.
    const std::string old = m_name;
    m_index->Found(old);
    m_nameHeld = false;
    const std::string next = UniqueClipName(m_wanted, [this](const std::string& n) { return nameTaken(n); });
    if (next.empty()) {
        reportFailure("unable to generate unique name for clip. Please contact Kestro support");
        return false;
    }
    m_index->Add(next);
    m_nameHeld = true;
    m_name = next;
    auto renamed = [&](const fs::path& p) {
        const std::string file = p.filename().string();
        if (p.empty() || file.compare(0, old.size(), old) != 0) return p;
        return p.parent_path() / (next + file.substr(old.size()));
    };
    for (auto& p : m_pending) p.file->SetFinalPath(renamed(p.file->finalPath()));
    m_videoPath = renamed(m_videoPath);
    m_xmlPath = renamed(m_xmlPath);
    m_iconPath = renamed(m_iconPath);
    m_voicePath = renamed(m_voicePath);
    const auto field = MxfEssenceWriter::ClipNameField(next);
    auto patch = [&](const TempOutputFile* f, const MxfEssenceWriter& w) {
        if (!f || PatchTemporary(f->tempPath(), f->identity(), w.clipNamePosition(), field.data(), field.size()))
            return true;
        reportFailure("Could not write " + f->finalPath().string() + ": " + std::strerror(errno));
        return false;
    };
    if (!patch(m_videoFile, m_videoWriter)) return false;
    for (int c = 0; c < 8 && m_audioFiles[c]; ++c)
        if (!patch(m_audioFiles[c], m_audioWriters[c])) return false;
    std::string xml;
    if (!buildClipXml(xml, m_name, m_frameCount, m_pulldown, m_audioChannels, m_wide) ||
        !WriteClipFile(m_xmlPath, xml.data(), xml.size()))
        return false;
    m_renameNotice = "Clip " + m_wanted + " exists in the destination; written as " + m_name;
    logf(LOG_INFO, "CExportMxf::Close", "%s", m_renameNotice.c_str());
    return true;
}

std::unique_ptr<TempOutputFile> CExportMxf::writeLastClip(std::string& error)
{
    // LASTCLIP.TXT is written beside and then moved over the old one, which
    // replaces the entry itself (a symlink is not followed).
    const fs::path lastClip = m_cards.cardPath() / "LASTCLIP.TXT";
    auto last = TempOutputFile::CreateFor(lastClip, error);
    if (last) {
        last->stream() << m_name << "\n1.0\n" << (m_lastClip + 1) << "\n";
        if (!last->Finish()) {
            error = last->errorText();
            std::error_code ec;
            fs::remove(last->tempPath(), ec);
            last.reset();
        }
    }
    return last;
}

void CExportMxf::Discard()
{
    // A temporary that is no longer where it was made (its folder was moved or
    // removed during the export) is left; the next export into the folder it
    // is in now removes it. The message names each by the path it was made at.
    std::string left;
    bool folderGone = false;
    for (auto& p : m_pending) {
        p.file->Finish();
        std::error_code ec;
        if (fs::remove(p.file->tempPath(), ec)) continue;
        std::error_code e2;
        const bool there = fs::is_directory(p.file->tempPath().parent_path(), e2);
        folderGone = folderGone || !there;
        left += (left.empty() ? "" : ", ") + p.file->tempPath().string() +
                (ec ? " (" + ec.message() + ")" : std::string());
    }
    if (!left.empty()) {
        const std::string text =
            "Temporary files of clip " + m_name + " could not be removed: " +
            (folderGone ? std::make_error_code(std::errc::no_such_file_or_directory).message() +
                              "; their folder was moved or removed during the export and still holds them: "
                        : std::string()) +
            left + ". The next export into that folder removes them";
        // Told after the failure that led here, not in place of it.
        const std::string earlier = m_lastError;
        reportFailure(text, false);
        if (!earlier.empty()) m_lastError = earlier + "; " + text;
    }
    m_pending.clear();
    m_videoFile = nullptr;
    m_audioFiles.fill(nullptr);
    if (m_nameHeld && m_index) m_index->Release(m_name);
    m_nameHeld = false;
    for (auto it = m_createdFolders.rbegin(); it != m_createdFolders.rend(); ++it) {
        std::error_code ec;
        fs::remove(*it, ec);   // only an empty folder goes
    }
    m_createdFolders.clear();
    m_clipOpen = false;
    m_headersWritten = false;
}

int CExportMxf::Open(std::string& message, int audioChannels, bool wide)
{
    if (m_clipOpen) Discard();
    m_errorKind = kErrorNone;
    m_renameNotice.clear();
    m_lastError.clear();
    m_lateProblem.clear();
    m_written.clear();
    m_videoFile = nullptr;
    m_audioFiles.fill(nullptr);
    if (m_formatCode <= 0) return 0;
    m_audioChannels = std::clamp(audioChannels, 0, 8);
    m_wide = wide;

    // Never into the card a source clip comes from (nor a card holding it).
    const fs::path conflict = SourceCardConflict(m_sourcePath, m_outputFolder);
    if (!conflict.empty()) {
        reportFailure("The destination " + m_outputFolder.string() + " overlaps the source card " +
                      conflict.string() + "; nothing is written there");
        return 0;
    }
    // The destination is read once per run when the driver shares an index.
    m_index = m_sharedIndex && m_sharedIndex->outputFolder() == m_outputFolder
                  ? m_sharedIndex
                  : std::make_shared<DestinationIndex>(m_outputFolder);
    m_cards.Locate(m_outputFolder, m_index.get());
    m_cards.SetNeed(m_formatCode, m_frameCount, m_audioChannels, m_rateNumerator, m_rateDenominator);
    const int64_t need = m_cards.needMB();
    if (need > m_cards.availableMB()) {
        message = qelFormat("Insufficient room on disk, need %lldMB, %lldMB available", (long long)need,
                            (long long)m_cards.availableMB());
        m_errorKind = kErrorDiskTooSmall;
        return 0;
    }
    const int64_t cardMB = int64_t(m_cardSizeGB) * 1000;
    if (cardMB > 0) {
        if (need > cardMB) {
            message = qelFormat("Insufficient card size, need %lldMB, max = %lldMB", (long long)need, (long long)cardMB);
            m_errorKind = kErrorCardTooSmall;
            return 0;
        }
        if (m_cards.usedMB() > cardMB - need) m_cards.NextCard();
    }

    m_umid[13] = uint8_t(m_umid[13] + 1);

    // The source clip XML is read and checked before anything is made; a
    // fault in it belongs to this clip alone.
    if (!loadSourceXml(SourceClipXmlPath())) {
        m_errorKind = kErrorClip;
        return 0;
    }

    m_contents = m_cards.cardPath() / "CONTENTS";
    m_videoDir = m_contents / "VIDEO";
    m_audioDir = m_contents / "AUDIO";
    m_clipDir = m_contents / "CLIP";
    m_iconDir = m_contents / "ICON";
    m_voiceDir = m_contents / "VOICE";
    m_proxyDir = m_contents / "PROXY";

    const std::string wanted = fs::path(m_clipName).stem().string();
    m_wanted = wanted;
    m_name = UniqueClipName(wanted, [this](const std::string& name) { return nameTaken(name); });
    if (m_name.empty()) {
        reportFailure("unable to generate unique name for clip. Please contact Kestro support");
        m_errorKind = kErrorClip;
        return 0;
    }
    m_index->Add(m_name);
    m_nameHeld = true;
    if (m_name != wanted) {
        m_renameNotice = "Clip " + wanted + " exists in the destination; written as " + m_name;
        logf(LOG_INFO, "CExportMxf::Open", "%s", m_renameNotice.c_str());
    }
    m_videoPath = m_videoDir / (m_name + ".MXF");
    m_xmlPath = m_clipDir / (m_name + ".XML");
    m_iconPath = m_iconDir / (m_name + ".BMP");

    m_clipOpen = true;
    std::string why;
    if (!createFolders(why)) {
        reportFailure("Problem creating MXF folders: " + why);
        Discard();
        return 0;
    }
    m_videoFile = createPending(m_videoPath, true);
    if (!m_videoFile) {
        Discard();
        return 0;
    }
    std::string xml;
    if (!buildClipXml(xml, m_name, m_frameCount, m_pulldown, m_audioChannels, wide) ||
        !WriteClipFile(m_xmlPath, xml.data(), xml.size())) {
        Discard();
        return 0;
    }
    for (int c = 0; c < m_audioChannels; ++c) {
        m_audioFiles[c] = createPending(audioPath(c), false);
        if (!m_audioFiles[c]) {
            Discard();
            return 0;
        }
    }
    return 1;
}

void CExportMxf::SetTimecode(int hours, int minutes, int seconds, int frames, int64_t start, int base, int drop)
{
    CExportBase::SetTimecode(hours, minutes, seconds, frames, start, base, drop);
    if (hours < 0) {
        if (base <= 0 || start < 0) return;
        const TimecodeLabel l = FramesToTimecodeLabel(start, base, drop != 0);
        hours = l.hours;
        minutes = l.minutes;
        seconds = l.seconds;
        frames = l.frames;
    }
    m_videoWriter.SetRunningTimecode(dv::MakeTimecode(hours, minutes, seconds, frames, drop != 0));
}

void CExportMxf::ConvertStartTimecode(int64_t S, int b, int d)
{
    if (b <= 0 || S < 0) return;
    int r = int(m_rateNumerator);
    if (r > 1000) r /= 1000;
    if (r == 60) r = 30;
    if (r == 50) r = 25;
    if (r <= 0) return;
    // The start is carried over as the time its label tells, counted at the
    // output rate. A drop-frame label tells the time of day (which is why it
    // skips labels), so a non-drop output (24p, 25p) starts at the label's
    // time, not at the count's: 00:10:00;28 becomes 00:10:00 and 28/30 s.
    // Between drop-frame counts the count itself is scaled.
    const bool sourceDrop = DroppedLabelsPerMinute(b, d != 0) > 0;
    const bool drop = sourceDrop && r == 30;
    int64_t start;
    if (b == r) {
        start = S;
    } else if (sourceDrop && !drop) {
        const TimecodeLabel l = FramesToTimecodeLabel(S, b, true);
        start = TimecodeLabelToFrames(l.hours, l.minutes, l.seconds, l.frames, b, false) * r / b;
    } else {
        start = int64_t((__int128)S * r / b);
    }
    const TimecodeLabel label = FramesToTimecodeLabel(start, r, drop);
    m_timecodeStart = start;
    m_timecodeBase = r;
    m_timecodeDrop = drop ? 1 : 0;
    // The source's own text is kept when it names the same frame.
    int kept[4];
    const bool same = b == r && parseTimecodeText(m_timecodeText, kept) &&
                      TimecodeLabel{kept[0], kept[1], kept[2], kept[3]} == label;
    if (!same)
        m_timecodeText = qelFormat("%02d:%02d:%02d:%02d", label.hours, label.minutes, label.seconds, label.frames);
    m_videoWriter.SetRunningTimecode(dv::MakeTimecode(label.hours, label.minutes, label.seconds, label.frames, drop));
}

int CExportMxf::loadSourceXml(const fs::path& sourceXml)
{
    m_source = CMxfClip();
    m_haveSource = false;
    std::error_code ec;
    if (sourceXml.empty() || !fs::is_regular_file(sourceXml, ec)) return 1;
    int rc = m_source.LoadXml(sourceXml);
    if (rc == kXmlOk) {
        m_haveSource = true;
    } else if (rc != kXmlCannotRead) {
        logf(LOG_ERROR, "CExportMxf::UpdateClipXml", "%s: error %d", sourceXml.string().c_str(), rc);
        reportFailure("Clip metadata " + sourceXml.string() + " is not a readable P2 clip file");
        return 0;
    }
    return 1;
}

int CExportMxf::UpdateClipXml(const fs::path& sourceXml, const fs::path& outputXml, const std::string& clipName,
                              int64_t frameCount, const std::string& pulldown, int audioChannels, bool wide)
{
    if (!loadSourceXml(sourceXml)) return 0;
    std::string text;
    if (!buildClipXml(text, clipName, frameCount, pulldown, audioChannels, wide)) return 0;
    // Written beside the target and moved over it: an existing file is
    // replaced whole (never truncated in place, a symlink never followed).
    std::string error;
    auto file = TempOutputFile::Create(TemporaryPathFor(outputXml), outputXml, error);
    bool ok = file != nullptr;
    if (ok) {
        file->stream().write(text.data(), std::streamsize(text.size()));
        ok = file->Finish();
        if (!ok) error = file->errorText();
        std::error_code ec;
        if (ok) fs::rename(file->tempPath(), outputXml, ec);
        if (ec) {
            ok = false;
            error = ec.message();
        }
        if (!ok) fs::remove(file->tempPath(), ec);
    }
    if (!ok) {
        reportFailure("Could not open " + outputXml.string() + " file for writing: " + error);
        return 0;
    }
    return 1;
}

int CExportMxf::buildClipXml(std::string& text, const std::string& clipName, int64_t frameCount,
                             const std::string& pulldown, int audioChannels, bool wide)
{
    const bool haveSource = m_haveSource;
    XmlNode content = m_source.document().topElement().child("ClipContent");
    XmlNode sourceVideo = content.child("EssenceList").child("Video");
    m_clip = CMxfClip();
    const int code = m_formatCode;
    const uint32_t num = m_rateNumerator, den = m_rateDenominator ? m_rateDenominator : 1;
    const VideoFormatInfo* fmt = videoFormatInfo(code);
    const uint64_t frames = frameCount > 0 ? uint64_t(frameCount) : 0;

    // The XML names the clip in UTF-8; bytes of the file name that are not
    // UTF-8 text are shown as U+FFFD there (the files keep the bytes).
    const std::string xmlName = xmlSafeText(clipName);
    if (xmlName != clipName)
        logf(LOG_WARNING, "CExportMxf::UpdateClipXml", "clip name %s is not UTF-8 text; the clip XML names it %s",
             escapeInvalidUtf8(clipName).c_str(), xmlName.c_str());
    m_clip.SetValue("ClipName", xmlName);
    m_clip.SetValue("Duration", qelFormat("%d", int(frameCount)));
    m_clip.SetValue("EditUnit", editUnitText(num, den));
    m_clip.SetValue("Codec", fmt ? fmt->codecName : "");
    if (isAvcIntraCode(code)) m_clip.SetValue("Class", code <= 37 ? "50" : "100");
    m_clip.SetValue("FrameRate", frameRateText(code, num, den));
    m_clip.SetValue("DropFrameFlag", "false");
    if (pulldown == "unchanged") {
        XmlNode p = sourceVideo.child("Pulldown");
        if (!p.isNull()) m_clip.SetValue("Pulldown", p.text());
    } else if (!pulldown.empty()) {
        m_clip.SetValue("Pulldown", pulldown);
    }
    m_clip.SetValue("AspectRatio", wide ? "16:9" : "4:3");
    m_clip.SetValue("StartBinaryGroup", qelFormat("%08X", m_binaryGroup));

    std::string startText = m_timecodeText;
    XmlNode stc = sourceVideo.child("StartTimecode");
    int tc[4];
    if (haveSource && !stc.isNull() && parseTimecodeText(stc.text(), tc)) {
        const int b = m_sourceTimecodeBase > 0 ? m_sourceTimecodeBase : m_timecodeBase;
        m_timecodeText = stc.text().substr(0, 31);
        // The conversion takes a real frame count, as the MXF file holds: a
        // drop-frame label is turned into its count first.
        ConvertStartTimecode(TimecodeLabelToFrames(tc[0], tc[1], tc[2], tc[3], b, m_sourceDrop != 0), b, m_sourceDrop);
        if (!m_timecodeText.empty()) startText = m_timecodeText;
    }
    m_clip.SetValue("StartTimecode", startText);

    uint64_t videoBytes;
    if (isAvcIntraCode(code))
        videoBytes = frames <= 1 ? uint64_t(m_frameSize) * frames : m_frameSize + uint64_t(m_laterFrameSize) * (frames - 1);
    else
        videoBytes = uint64_t(fmt ? fmt->dvFrameBytes : m_frameSize) * frames;
    m_clip.SetSize("DataSizeVideo", qelFormat("%llu", (unsigned long long)videoBytes));
    m_clip.SetSize("DataSizeAudio",
                   qelFormat("%llu", (unsigned long long)(2 * MxfEssenceWriter::audioSamplesFor(frames, num, den))));
    m_clip.SetValue("GlobalClipID", umidToHex(m_umid));

    m_clip.BuildDocument(content.child("ClipMetadata"), audioChannels, code, num, den, m_timecodeDrop != 0);
    text = m_clip.document().serialize();
    // Never write a clip XML this reader would refuse: a carried-over
    // ClipMetadata that makes it too large or deep is replaced by a new one.
    XmlDocument check;
    int rc = check.parse(text, "P2Main");
    if (rc != kXmlOk) {
        logf(LOG_WARNING, "CExportMxf::UpdateClipXml",
             "the clip XML with the source's ClipMetadata would be refused (error %d); a new ClipMetadata is written", rc);
        m_clip.BuildDocument(XmlNode(), audioChannels, code, num, den, m_timecodeDrop != 0);
        text = m_clip.document().serialize();
        rc = check.parse(text, "P2Main");
    }
    if (rc != kXmlOk) {
        logf(LOG_ERROR, "CExportMxf::UpdateClipXml", "the clip XML cannot be written (error %d)", rc);
        vorn::notify(kTitle, "The clip XML could not be made");
        return 0;
    }
    return 1;
}

MxfHeaderParams CExportMxf::headerParams() const
{
    MxfHeaderParams p;
    const int F = m_formatCode;
    const VideoFormatInfo* fmt = videoFormatInfo(F);
    const int lines = m_pictureLines > 0 ? m_pictureLines : (fmt ? fmt->lines : 0);
    const bool full = F == 2 || F == 4 || (F >= 34 && F <= 37) || (F >= 40 && F <= 43);
    p.frameSize = m_frameSize ? m_frameSize : (fmt && !isAvcIntraCode(F) ? fmt->dvFrameBytes : 0);
    p.laterFrameSize = m_laterFrameSize;
    p.storedHeight = uint32_t(full ? lines : lines / 2);
    p.frameLayout = (F == 2 || F == 4) ? 0 : 1;
    p.componentDepth = (F >= 5 && F <= 10) ? 8 : 10;
    p.horizontalSubsampling = (F == 5 || F == 9 || F == 10) ? 4 : 2;
    p.verticalSubsampling = F == 6 ? 2 : 1;
    p.formatCode = F;
    p.aspectNumerator = m_wide ? 16 : 4;
    p.aspectDenominator = m_wide ? 9 : 3;
    p.clipName = m_name;
    p.frameCount = m_frameCount > 0 ? uint64_t(m_frameCount) : 0;
    p.rateNumerator = m_rateNumerator;
    p.rateDenominator = m_rateDenominator ? m_rateDenominator : 1;
    p.baseUmid = m_umid;
    p.audioChannels = m_audioChannels;
    return p;
}

int CExportMxf::BeginClip(int64_t frames, int64_t /*reserved*/, uint32_t rateDenominator, uint32_t rateNumerator,
                          bool wide, int audioChannels)
{
    if (!m_videoFile) return 0;
    m_frameCount = frames;
    m_rateNumerator = rateNumerator;
    m_rateDenominator = rateDenominator;
    m_wide = wide;
    m_audioChannels = std::min(m_audioChannels, std::clamp(audioChannels, 0, 8));
    MxfHeaderParams p = headerParams();
    if (m_frameSize == 0) m_frameSize = p.frameSize;
    m_headersWritten = true;
    const int32_t start = int32_t(m_timecodeStart);
    m_videoWriter.SetTimecode(start, m_timecodeBase, m_timecodeDrop);
    m_videoWriter.WriteHeader(m_videoFile->stream(), p);
    for (int c = 0; c < m_audioChannels; ++c) {
        if (!m_audioFiles[c]) break;
        p.audioChannel = c;
        m_audioWriters[c].SetTimecode(start, m_timecodeBase, m_timecodeDrop);
        m_audioWriters[c].WriteHeader(m_audioFiles[c]->stream(), p);
    }
    return 1;
}

int CExportMxf::WriteVideo(uint8_t* buffer, size_t size)
{
    if (!m_videoFile || !buffer) return 0;
    m_videoWriter.WriteFrame(buffer, size);
    if (!m_videoWriter.writeFailed()) return 1;
    writeFailed(*m_videoFile);
    return 0;
}

int CExportMxf::WriteAudio(const uint8_t* buffer, size_t size, int channel)
{
    if (channel < 0 || channel >= 8 || !m_audioFiles[channel] || !buffer) return 0;
    // Audio data is only written, never changed.
    m_audioWriters[channel].WriteFrame(const_cast<uint8_t*>(buffer), size);
    if (!m_audioWriters[channel].writeFailed()) return 1;
    writeFailed(*m_audioFiles[channel]);
    return 0;
}

void CExportMxf::writeFailed(const TempOutputFile& file)
{
    // Told once per file: the frames after it fail alike.
    const std::string text = "Could not write " + file.finalPath().string() + ": " + file.errorText();
    if (m_lastError != text) reportFailure(text, false);
}

int CExportMxf::Close()
{
    // A clip whose headers were never written is no clip.
    if (!m_clipOpen || !m_videoFile || !m_headersWritten) {
        Discard();
        return 0;
    }
    bool ok = true;
    for (int c = 0; c < 8 && m_audioFiles[c]; ++c) m_audioWriters[c].PadAudio();
    const uint64_t frames = m_frameCount > 0 ? uint64_t(m_frameCount) : 0;
    const uint32_t den = m_rateDenominator ? m_rateDenominator : 1;
    auto finish = [&](TempOutputFile& file, MxfEssenceWriter& writer) {
        writer.WriteFooter(m_frameSize, m_laterFrameSize, frames, m_rateNumerator, den, m_formatCode);
        const bool closed = file.Finish();
        if (ok && (writer.writeFailed() || !closed)) {
            reportFailure("Could not write " + file.finalPath().string() + ": " + file.errorText());
            ok = false;
        }
    };
    finish(*m_videoFile, m_videoWriter);
    for (int c = 0; c < 8 && m_audioFiles[c]; ++c) {
        m_audioWriters[c].PadAudio();
        finish(*m_audioFiles[c], m_audioWriters[c]);
    }
    if (!ok || !finishPending()) {
        Discard();
        return 0;
    }

    const fs::path lastClip = m_cards.cardPath() / "LASTCLIP.TXT";
    std::string error;
    auto last = writeLastClip(error);
    if (!last) {
        reportFailure("Could not write " + lastClip.string() + ": " + error, false);
        Discard();
        return 0;
    }
    const int steps = int(m_pending.size());
    // Another export may have taken the name since Open: the clip goes on
    // under the next free one.
    for (int attempt = 0;; ++attempt) {
        const CommitResult result = commitPending();
        if (result == kCommitted) break;
        std::error_code ec;
        fs::remove(last->tempPath(), ec);
        if (result == kCommitFailed || attempt >= 100 || !renameClip() || !(last = writeLastClip(error))) {
            Discard();
            return 0;
        }
    }
    if (m_commitHook) m_commitHook(steps, lastClip);
    m_nameHeld = false;
    m_createdFolders.clear();
    m_clipOpen = false;
    m_headersWritten = false;
    m_videoFile = nullptr;
    m_audioFiles.fill(nullptr);
#if defined(_WIN32)
    {
        std::error_code ec;
        if (fs::is_regular_file(fs::symlink_status(lastClip, ec)))
            fs::permissions(lastClip, fs::perms::owner_write, fs::perm_options::add, ec);
    }
#endif
    // The clip's files are in place and stay: a failure from here on is told
    // on its own.
    std::error_code ec;
    fs::rename(last->tempPath(), lastClip, ec);
    if (ec) {
        m_lateProblem = "Could not write " + lastClip.string() + ": " + ec.message();
        reportFailure(m_lateProblem, false);
        fs::remove(last->tempPath(), ec);
    }
    return 1;
}

int CExportMxf::CopyIcon(const std::string& sourcePath)
{
    if (m_iconPath.empty() || !m_clipOpen) return 0;
    return CopyClipFile(sourcePath, m_iconPath);
}

namespace {
// The name of a clip's file from its clip name and an extension ("WAV", ".WAV")
// or a suffix holding its own dot ("00.WAV").
std::string extraFileName(const std::string& clipName, const std::string& extension)
{
    if (extension.find('.') != std::string::npos) return clipName + extension;
    return clipName + "." + extension;
}
} // namespace

int CExportMxf::CopyVoice(const std::string& sourcePath, const std::string& extension)
{
    if (m_voiceDir.empty() || !m_clipOpen) return 0;
    m_voicePath = m_voiceDir / extraFileName(m_name, extension);
    return CopyClipFile(sourcePath, m_voicePath);
}

int CExportMxf::CopyProxy(const std::string& sourcePath, const std::string& extension)
{
    if (m_proxyDir.empty() || !m_clipOpen) return 0;
    return CopyClipFile(sourcePath, m_proxyDir / extraFileName(m_name, extension));
}

int CExportMxf::WriteThumbnail(const uint8_t* frame, size_t size, int formatCode, int flag)
{
    ThumbnailWriter writer;
    {
        std::lock_guard<std::mutex> lock(g_thumbMutex);
        writer = g_thumbnailWriter;
    }
    if (m_iconPath.empty() || !m_clipOpen) return 0;
    std::vector<uint8_t> bitmap;
    const bool made = writer ? writer(frame, size, formatCode, flag, bitmap)
                             : makeIconBitmap(frame, size, formatCode, flag != 0, bitmap);
    if (!made) return 0;
    return WriteClipFile(m_iconPath, bitmap.data(), bitmap.size());
}

} // namespace vorn::mxf
