#include "foundation/FilePath.h"
#include "foundation/Log.h"
#include "foundation/Platform.h"
#include "foundation/QelIniFile.h"
#include "foundation/TevFindFiles.h"
#include "foundation/TevRegistry.h"
#include "foundation/TevThread.h"
#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using vorn::test::readText;
using vorn::test::scratchDir;
using vorn::test::writeText;

// ---- CTevThread ----

std::atomic<uintptr_t> g_sum{0};

void addArguments(uintptr_t a, uintptr_t b)
{
    g_sum += a * 10 + b;
}

TEST(TevThread, RunsTheFunctionWithBothArgumentsOnItsOwnThread)
{
    g_sum = 0;
    CTevThread thread;
    ASSERT_TRUE(thread.start(addArguments, 4, 2));
    EXPECT_NE(thread.threadId(), std::this_thread::get_id());
    thread.join();
    EXPECT_EQ(g_sum.load(), 42u);
    thread.join(); // joining again does nothing

    ASSERT_TRUE(thread.start(addArguments, 1, 0)); // the object can start again
    thread.join();
    EXPECT_EQ(g_sum.load(), 52u);
}

TEST(TevThread, MissingFunctionIsLoggedAndTheThreadEnds)
{
    auto path = scratchDir("thread") / "QelLog.txt";
    {
        vorn::LogFile logFile(path.string());
        vorn::LogScope installed(logFile);
        CTevThread thread;
        ASSERT_TRUE(thread.start(nullptr, 1, 2));
        thread.join();
    }
    std::string text = readText(path);
    EXPECT_EQ(text.substr(0, 5), "ERROR");
    EXPECT_NE(text.find(" : CTevThread::BaseThreadFunction"), std::string::npos);
}

std::atomic<bool> g_release{false};
std::atomic<bool> g_finished{false};

void waitForRelease(uintptr_t, uintptr_t)
{
    while (!g_release)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g_finished = true;
}

TEST(TevThread, ObjectMayBeDestroyedWhileItsThreadRuns)
{
    g_release = false;
    g_finished = false;
    {
        CTevThread thread;
        ASSERT_TRUE(thread.start(waitForRelease, 0, 0));
    }
    g_release = true;
    for (int i = 0; i < 5000 && !g_finished; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(g_finished);
}

// ---- CTevRegistry (the file stand-in) ----

struct RegistryFile {
    std::string old;
    bool had;
    explicit RegistryFile(const fs::path& file)
    {
        const char* v = std::getenv("VORN_REGISTRY_FILE");
        had = v != nullptr;
        old = v ? v : "";
        ::setenv("VORN_REGISTRY_FILE", file.c_str(), 1);
    }
    ~RegistryFile()
    {
        if (had)
            ::setenv("VORN_REGISTRY_FILE", old.c_str(), 1);
        else
            ::unsetenv("VORN_REGISTRY_FILE");
    }
};

TEST(TevRegistry, ReadsValuesOfKeysNamedInTheFile)
{
    auto file = scratchDir("registry") / "registry.txt";
    writeText(file, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App_is1\\InstallLocation=/opt/app dir\r\n"
                    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App_is1\\Fits=" + std::string(255, 'f') + "\n"
                    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App_is1\\TooLong=" + std::string(256, 't') + "\n"
                    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App_is1\\Equals=a=b\n"
                    "HKEY_CURRENT_USER\\SOFTWARE\\Other\\Name=user\n"
                    "not a registry line\n");
    RegistryFile env(file);

    CTevRegistry key(RegistryRoot::LocalMachine, "SOFTWARE\\Vendor\\App_is1");
    ASSERT_TRUE(key.isOpen());
    QelString value;
    ASSERT_TRUE(key.queryString("InstallLocation", value));
    EXPECT_EQ(value.str(), "/opt/app dir");
    ASSERT_TRUE(key.queryString("installlocation", value)); // names ignore case
    ASSERT_TRUE(key.queryString("Fits", value));
    EXPECT_EQ(value.length(), 255u);
    value = "kept";
    EXPECT_FALSE(key.queryString("TooLong", value)); // does not fit the 256-byte buffer
    EXPECT_FALSE(key.queryString("Missing", value));
    EXPECT_EQ(value.str(), "kept");
    ASSERT_TRUE(key.queryString("Equals", value));
    EXPECT_EQ(value.str(), "a=b");

    CTevRegistry parent(RegistryRoot::LocalMachine, "software\\VENDOR"); // a key with sub-keys only
    EXPECT_TRUE(parent.isOpen());
    EXPECT_FALSE(parent.queryString("InstallLocation", value));

    CTevRegistry wrongRoot(RegistryRoot::CurrentUser, "SOFTWARE\\Vendor\\App_is1");
    EXPECT_FALSE(wrongRoot.isOpen());
    EXPECT_FALSE(wrongRoot.queryString("InstallLocation", value));
    CTevRegistry prefixOnly(RegistryRoot::LocalMachine, "SOFTWARE\\Vend");
    EXPECT_FALSE(prefixOnly.isOpen());
}

TEST(TevRegistry, ReopenUsesOrReplacesTheRememberedKey)
{
    auto file = scratchDir("reopen") / "registry.txt";
    writeText(file, "HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\Value=a\n"
                    "HKEY_LOCAL_MACHINE\\SOFTWARE\\B\\Value=b\n"
                    "HKEY_CURRENT_USER\\SOFTWARE\\A\\Value=user a\n");
    RegistryFile env(file);
    QelString value;

    CTevRegistry key(RegistryRoot::LocalMachine, "SOFTWARE\\Missing");
    EXPECT_FALSE(key.isOpen());
    ASSERT_TRUE(key.reopen("SOFTWARE\\B"));
    ASSERT_TRUE(key.queryString("Value", value));
    EXPECT_EQ(value.str(), "b");

    ASSERT_TRUE(key.reopen("SOFTWARE\\A", RegistryRoot::CurrentUser, false));
    ASSERT_TRUE(key.queryString("Value", value));
    EXPECT_EQ(value.str(), "user a");
    ASSERT_TRUE(key.reopen()); // back to the remembered HKEY_LOCAL_MACHINE\SOFTWARE\B
    ASSERT_TRUE(key.queryString("Value", value));
    EXPECT_EQ(value.str(), "b");

    EXPECT_FALSE(key.reopen("SOFTWARE\\C"));
    EXPECT_FALSE(key.queryString("Value", value));
}

TEST(TevRegistry, WithoutTheFileEveryKeyIsMissing)
{
    const char* v = std::getenv("VORN_REGISTRY_FILE");
    std::string saved = v ? v : "";
    ::unsetenv("VORN_REGISTRY_FILE");
    CTevRegistry key(RegistryRoot::LocalMachine, "SOFTWARE");
    if (v)
        ::setenv("VORN_REGISTRY_FILE", saved.c_str(), 1);
    EXPECT_FALSE(key.isOpen());
}

// ---- CTevFindFiles ----

// root/
//   A.MXF  b.mxf  c.MXF.txt  sub1/ (X.MXF, deep/ (Y.MXF))  sub2/ (Z.MXF, w.XML)  zz.MXF
fs::path makeTree(const std::string& name)
{
    fs::path root = scratchDir(name) / "root";
    for (const char* f : {"A.MXF", "b.mxf", "c.MXF.txt", "sub1/X.MXF", "sub1/deep/Y.MXF", "sub2/Z.MXF",
                          "sub2/w.XML", "zz.MXF"})
        writeText(root / f, "x");
    return root;
}

std::vector<std::string> relativeResults(const CTevFindFiles& finder, const fs::path& root)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < finder.count(); ++i)
        out.push_back(finder.path(i).str().substr(root.string().size()));
    return out;
}

TEST(TevFindFiles, CollectsExactEndingsDepthFirstInNameOrder)
{
    fs::path root = makeTree("order");
    CTevFindFiles finder(CTevFindFiles::kFiles, ".MXF");
    EXPECT_TRUE(finder.find(root.string(), true));
    EXPECT_EQ(relativeResults(finder, root),
              (std::vector<std::string>{"/A.MXF", "/sub1/X.MXF", "/sub1/deep/Y.MXF", "/sub2/Z.MXF", "/zz.MXF"}));

    CTevFindFiles flat(CTevFindFiles::kFiles, ".MXF");
    flat.find(root.string() + "/", false); // a trailing separator is not doubled
    EXPECT_EQ(relativeResults(flat, root), (std::vector<std::string>{"/A.MXF", "/zz.MXF"}));

    CTevFindFiles two(CTevFindFiles::kFiles, ".XML,.mxf");
    two.find(root.string(), true);
    EXPECT_EQ(relativeResults(two, root), (std::vector<std::string>{"/b.mxf", "/sub2/w.XML"}));
}

struct StopAfter {
    int calls = 0;
    int limit = 0;
    std::vector<std::string> seen;
};

bool countFile(const QelString& path, int type, void* arg)
{
    auto* s = static_cast<StopAfter*>(arg);
    EXPECT_EQ(type, CTevFindFiles::kFileEntry);
    s->seen.push_back(path.str());
    return ++s->calls < s->limit;
}

bool countFolder(const QelString& path, void* arg)
{
    auto* s = static_cast<StopAfter*>(arg);
    s->seen.push_back(path.str());
    return ++s->calls < s->limit;
}

TEST(TevFindFiles, CallbackReturningFalseEndsTheWholeSearch)
{
    fs::path root = makeTree("stop");
    StopAfter stop{0, 3, {}};
    CTevFindFiles finder(CTevFindFiles::kFiles, ".MXF");
    EXPECT_FALSE(finder.find(root.string(), true, countFile, nullptr, &stop));
    // The third file (inside sub1/deep) stops it: two results, nothing after.
    EXPECT_EQ(relativeResults(finder, root), (std::vector<std::string>{"/A.MXF", "/sub1/X.MXF"}));
    EXPECT_EQ(stop.calls, 3);
    EXPECT_EQ(stop.seen.back(), (root / "sub1/deep/Y.MXF").string());
}

TEST(TevFindFiles, FolderModesVisitFoldersThroughTheCallback)
{
    fs::path root = makeTree("folders");
    StopAfter all{0, 100, {}};
    CTevFindFiles foldersOnly(CTevFindFiles::kFoldersOnly);
    EXPECT_TRUE(foldersOnly.find(root.string(), true, countFile, countFolder, &all));
    EXPECT_EQ(foldersOnly.count(), 0u);
    EXPECT_EQ(all.seen, (std::vector<std::string>{(root / "sub1").string(), (root / "sub1/deep").string(),
                                                  (root / "sub2").string()}));

    StopAfter first{0, 1, {}};
    CTevFindFiles both(CTevFindFiles::kFilesAndFolders, ".MXF");
    EXPECT_FALSE(both.find(root.string(), true, nullptr, countFolder, &first));
    EXPECT_EQ(relativeResults(both, root), (std::vector<std::string>{"/A.MXF"}));

    StopAfter none{0, 1, {}};
    CTevFindFiles filesMode(CTevFindFiles::kFiles, ".MXF"); // mode 0 never calls the folder callback
    EXPECT_TRUE(filesMode.find(root.string(), true, nullptr, countFolder, &none));
    EXPECT_EQ(none.calls, 0);
    EXPECT_EQ(filesMode.count(), 5u);
}

TEST(TevFindFiles, NothingToFindAddsNothing)
{
    fs::path root = makeTree("nothing");
    CTevFindFiles noPatterns(CTevFindFiles::kFiles, nullptr);
    EXPECT_TRUE(noPatterns.find(root.string(), true));
    EXPECT_EQ(noPatterns.count(), 0u);
    CTevFindFiles missing(CTevFindFiles::kFiles, ".MXF");
    EXPECT_TRUE(missing.find((root / "no such folder").string(), true));
    EXPECT_EQ(missing.count(), 0u);
    EXPECT_EQ(CTevFindFiles(0, ".MXF,,.XML,").patterns().size(), 2u);
}

TEST(TevFindFiles, LinkLoopsAreSearchedOnce)
{
    fs::path root = makeTree("loop");
    std::error_code ec;
    fs::create_directory_symlink(root, root / "sub1" / "back", ec);
    if (ec)
        GTEST_SKIP() << "no symbolic links here";
    CTevFindFiles finder(CTevFindFiles::kFiles, ".MXF");
    finder.find(root.string(), true);
    EXPECT_EQ(finder.count(), 5u);
}

// ---- FilePath ----

TEST(FilePath, SplitsAndRebuildsPaths)
{
    struct Case {
        const char* path;
        const char* directory;
        const char* name;
        const char* extension;
    };
    const Case cases[] = {
        {"/media/CONTENTS/VIDEO/0001AB.MXF", "/media/CONTENTS/VIDEO/", "0001AB", ".MXF"},
        {"/media/CONTENTS/", "/media/CONTENTS/", "", ""},
        {"clip.tar.gz", "", "clip.tar", ".gz"},
        {"/a.b/c", "/a.b/", "c", ""},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        FilePath p(c.path);
        EXPECT_EQ(p.directory().str(), c.directory) << c.path;
        EXPECT_EQ(p.name().str(), c.name) << c.path;
        EXPECT_EQ(p.extension().str(), c.extension) << c.path;
        EXPECT_EQ(p.folder().str(), c.directory) << c.path;
        EXPECT_EQ(p.fullPath().str(), c.path);
    }
}

TEST(FilePath, AppendFolderSetNameAndUp)
{
    FilePath p("/out/Card1/", false);
    p.appendFolder("CONTENTS");
    p.appendFolder("VIDEO");
    EXPECT_EQ(p.folder().str(), "/out/Card1/CONTENTS/VIDEO/");
    p.setName("0001AB.MXF");
    EXPECT_EQ(p.fullPath().str(), "/out/Card1/CONTENTS/VIDEO/0001AB.MXF");
    p.setName("0001AB.v2.MXF");
    EXPECT_EQ(p.name().str(), "0001AB");
    EXPECT_EQ(p.extension().str(), ".v2.MXF");
    p.setName("0001AB", ".XML");
    EXPECT_EQ(p.fullPath().str(), "/out/Card1/CONTENTS/VIDEO/0001AB.XML");

    p.up(1, true);
    EXPECT_EQ(p.fullPath().str(), "/out/Card1/CONTENTS/0001AB.XML");
    p.appendFolder("CLIP");
    EXPECT_EQ(p.fullPath().str(), "/out/Card1/CONTENTS/CLIP/0001AB.XML");
    p.up(2);
    EXPECT_EQ(p.fullPath().str(), "/out/Card1/");
    p.up(10);
    EXPECT_EQ(p.fullPath().str(), "/");

    FilePath stripped("/out/Card1/file.txt", true);
    EXPECT_EQ(stripped.folder().str(), "/out/Card1");
    EXPECT_EQ(stripped.fullPath().str(), "/out/Card1/file.txt");
    stripped.up(2);
    EXPECT_EQ(stripped.folder().str(), "/");

    FilePath self = FilePath::ofModule();
    EXPECT_TRUE(fs::exists(self.fullPath().str())) << self.fullPath().str();
}

TEST(FilePath, CreateFoldersMakesEveryMissingLevelHoweverDeep)
{
    auto base = scratchDir("create");
    for (int depth : {1, 3, 6, 12}) {
        fs::path folder = base / ("d" + std::to_string(depth));
        for (int i = 1; i < depth; ++i)
            folder /= "level" + std::to_string(i);
        FilePath p((folder / "file.MXF").string());
        ASSERT_TRUE(p.createFolders()) << depth;
        EXPECT_TRUE(fs::is_directory(folder)) << depth;
        EXPECT_FALSE(fs::exists(folder / "file.MXF"));
        EXPECT_TRUE(p.createFolders()) << "an existing folder counts as success";
    }
    writeText(base / "plain", "x");
    EXPECT_FALSE(FilePath((base / "plain" / "below" / "f").string()).createFolders());
}

// ---- QelIniFile ----

TEST(QelIniFile, ReadsSectionsOfKeyValueLines)
{
    auto file = scratchDir("ini") / "versions.txt";
    writeText(file, "[First]\r\nLatest=2.0.3\r\nUpdatePage=http://example.test/a?b=c\r\n"
                    "\r\n[QuintellVornWindows]\nLatest = 2.1.0\nEmpty=\n[Last]\nOnlyKey\n");
    QelIniFile ini;
    ASSERT_TRUE(ini.read(file.string()));
    ASSERT_EQ(ini.count(), 3);
    EXPECT_EQ(ini.keyAt(1).str(), "QuintellVornWindows");
    EXPECT_EQ(ini.value("First", "Latest").str(), "2.0.3");
    EXPECT_EQ(ini.value("First", "UpdatePage").str(), "http://example.test/a?b");
    EXPECT_EQ(ini.value("QuintellVornWindows", "Latest").str(), "2.1.0");
    EXPECT_EQ(ini.lookup("QuintellVornWindows").count(), 1); // "Empty=" before a section has no value
    EXPECT_EQ(ini.lookup("Last").count(), 0);

    int sectionError = 0, keyError = 0;
    try {
        (void)ini.value("first", "Latest");
    } catch (QelIniFile::Exception e) {
        sectionError = e;
    }
    try {
        (void)ini.value("First", "latest");
    } catch (QelIniFile::Section::Exception e) {
        keyError = e;
    }
    EXPECT_EQ(sectionError, 3);
    EXPECT_EQ(keyError, 3);

    EXPECT_FALSE(ini.read((file.parent_path() / "none.txt").string()));
    EXPECT_EQ(ini.count(), 0);
}

} // namespace

namespace {

// Sets environment variables for one scope (null unsets) and restores them.
class EnvScope {
public:
    EnvScope(std::initializer_list<std::pair<const char*, const char*>> vars)
    {
        for (auto [name, value] : vars) {
            const char* old = std::getenv(name);
            m_saved.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
            if (value)
                ::setenv(name, value, 1);
            else
                ::unsetenv(name);
        }
    }
    ~EnvScope()
    {
        for (auto& [name, value] : m_saved) {
            if (value)
                ::setenv(name, value->c_str(), 1);
            else
                ::unsetenv(name);
        }
    }

private:
    std::vector<std::pair<const char*, std::optional<std::string>>> m_saved;
};

TEST(Platform, LogFileAndDataFolderFollowTheEnvironment)
{
    struct Case {
        const char* logFile;
        const char* state;
        const char* dataDir;
        const char* config;
        const char* home;
        std::string expectedLog;
        std::string expectedData;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, nullptr, "/home/u", "/home/u/.local/state/quintell-vorn/QelLog.txt",
         "/home/u/.config/quintell-vorn/Data"},
        {nullptr, "/st", nullptr, "/cf", "/home/u", "/st/quintell-vorn/QelLog.txt", "/cf/quintell-vorn/Data"},
        {"/tmp/my.log", "/st", "/d/Data", "/cf", "/home/u", "/tmp/my.log", "/d/Data"},
        {"", "/st", "", "", "/home/u", "", "/home/u/.config/quintell-vorn/Data"},
    };
    for (const auto& c : cases) {
        EnvScope env{{"VORN_LOG_FILE", c.logFile},
                     {"XDG_STATE_HOME", c.state},
                     {"VORN_DATA_DIR", c.dataDir},
                     {"XDG_CONFIG_HOME", c.config},
                     {"HOME", c.home}};
        EXPECT_EQ(vorn::defaultLogFilePath(), c.expectedLog);
        EXPECT_EQ(vorn::dataDirectory().string(), c.expectedData);
    }
    EnvScope env{{"VORN_DEBUG", nullptr}};
    EXPECT_FALSE(vorn::debugOutputEnabled());
}

} // namespace
