// The logger settings read at load. Each test writes "LogLevel", "LogDebug",
// "LogFile" and "LogPID" into the common key and the program's own key
// (HKEY_LOCAL_MACHINE of the test prefix), then starts child_log.exe, which
// prints what its logger made of them and writes the record "child record"
// at level 0. The values are removed again when the test ends.
#include "../../common/log/Log.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace zem::vfs::test;

namespace {

std::string const kCommon = "Software\\Tavrin Labs\\Quillon";
std::string const kOwn = kCommon + "\\child_log";
HKEY const kMachine = HKEY_LOCAL_MACHINE;

class LogSettings : public ::testing::Test {
protected:
    void SetUp() override {
        // Settings left behind by an interrupted run would falsify every test.
        for (std::string const &path : {kCommon, kOwn, kCommon + "\\test_log"})
            for (char const *name : {"LogLevel", "LogDebug", "LogFile", "LogPID"})
                RegDeleteKeyValueA(kMachine, path.c_str(), name);
        ASSERT_FALSE(folder_.path().empty());
    }

    template <class T> bool common(char const *name, T const &value) {
        return registry_.set(kMachine, kCommon, name, value);
    }
    template <class T> bool own(char const *name, T const &value) {
        return registry_.set(kMachine, kOwn, name, value);
    }
    bool own_raw(char const *name, DWORD type, void const *data, DWORD size) {
        return registry_.set(kMachine, kOwn, name, type, data, size);
    }

    ChildResult run() {
        ChildResult child =
            run_child(program_folder() + L"child_log.exe", {}, folder_.path().c_str());
        EXPECT_TRUE(child.finished && child.exit_code == 0) << child.output;
        return child;
    }
    int level() { return std::atoi(run().value("level", "-9").c_str()); }

    RegistryScope registry_;
    TempFolder folder_{L"zem_logreg"};
};

} // namespace

TEST_F(LogSettings, NoValuesGiveThresholdFourAndNoSink) {
    ChildResult child = run();
    EXPECT_EQ(child.value("filename"), "");
    EXPECT_EQ(child.value("can"), "00000000");
    EXPECT_EQ(child.value("level"), "4");
}

TEST_F(LogSettings, LevelNamesAndNumbers) {
    for (char const *text : {"DEBUG", "debug", "7", "  7", "+7"}) {
        ASSERT_TRUE(own("LogLevel", std::string(text)));
        EXPECT_EQ(level(), 7) << text;
    }
    ASSERT_TRUE(own("LogLevel", std::string("Notice")));
    EXPECT_EQ(level(), 5);
    ASSERT_TRUE(own("LogLevel", DWORD(0)));
    EXPECT_EQ(level(), 0);
    ASSERT_TRUE(own_raw("LogLevel", REG_SZ, "debug", 5)); // stored without terminator
    EXPECT_EQ(level(), 7);
    ASSERT_TRUE(own_raw("LogLevel", REG_SZ, "2\0junk", 7)); // read up to the NUL
    EXPECT_EQ(level(), 2);
}

TEST_F(LogSettings, RefusedLevelFallsBackToTheCommonKey) {
    ASSERT_TRUE(common("LogLevel", std::string("error")));
    for (char const *text : {"8", "-1", "7x", "", "debug ", "warning"}) {
        ASSERT_TRUE(own("LogLevel", std::string(text)));
        EXPECT_EQ(level(), 3) << "'" << text << "'";
    }
    std::string const huge(1 << 20, 'A');
    struct Raw {
        DWORD type;
        void const *data;
        DWORD size;
    } const raws[] = {
        {REG_DWORD, "\xFF\xFF\xFF\xFF", 4}, // the text -1
        {REG_DWORD, "\x08\0\0\0", 4},
        {REG_DWORD, "\x07\0", 2},
        {REG_BINARY, "7", 2},
        {REG_EXPAND_SZ, "7", 2},
        {REG_SZ, huge.c_str(), DWORD(huge.size() + 1)},
    };
    for (Raw const &raw : raws) {
        ASSERT_TRUE(own_raw("LogLevel", raw.type, raw.data, raw.size));
        EXPECT_EQ(level(), 3) << raw.type << " " << raw.size;
    }
    ASSERT_TRUE(common("LogLevel", std::string("9"))); // refused everywhere: default
    EXPECT_EQ(level(), 4);
}

TEST_F(LogSettings, DebuggerOutputIsASink) {
    ASSERT_TRUE(own("LogDebug", DWORD(1)));
    EXPECT_EQ(run().value("can"), "11111000");
    ASSERT_TRUE(common("LogDebug", DWORD(1)));
    ASSERT_TRUE(own("LogDebug", std::string("0")));
    EXPECT_EQ(run().value("can"), "00000000");
    // Invalid in the program's key: the common key decides.
    for (std::string const &text :
         {std::string("1x"), std::string(), std::string(" 1 "), std::string(40, '1')}) {
        ASSERT_TRUE(own("LogDebug", text));
        EXPECT_EQ(run().value("can"), "11111000") << "'" << text << "'";
    }
    ASSERT_TRUE(own_raw("LogDebug", REG_QWORD, "\0\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(run().value("can"), "11111000");
}

TEST_F(LogSettings, LogFileOfTheProgramOrTheCommonKey) {
    std::string const path = folder_.narrow_file("common.log");
    ASSERT_TRUE(common("LogFile", path));
    ChildResult child = run();
    EXPECT_EQ(child.value("filename"), path);
    EXPECT_EQ(child.value("can"), "11111000");
    EXPECT_NE(read_file(widen(path)).find("] child record\n"), std::string::npos);
    ASSERT_TRUE(DeleteFileW(widen(path).c_str()));

    // An empty name of the program's own disables the common file.
    ASSERT_TRUE(own("LogFile", std::string()));
    child = run();
    EXPECT_EQ(child.value("filename"), "");
    EXPECT_EQ(child.value("can"), "00000000");
    EXPECT_FALSE(file_exists(widen(path)));

    // A file that cannot be opened keeps its name, but gives no sink.
    std::string const missing = folder_.narrow_file("missing\\x.log");
    ASSERT_TRUE(own("LogFile", missing));
    child = run();
    EXPECT_EQ(child.value("filename"), missing);
    EXPECT_EQ(child.value("can"), "00000000");

    // A DWORD is its decimal text, relative to the child's current folder.
    ASSERT_TRUE(own("LogFile", DWORD(5)));
    EXPECT_EQ(run().value("filename"), "5");
    EXPECT_NE(read_file(folder_.file(L"5")).find("child record"), std::string::npos);

    // A type the setting does not take: the common key decides.
    ASSERT_TRUE(own_raw("LogFile", REG_MULTI_SZ, "a\0b\0", 5));
    EXPECT_EQ(run().value("filename"), path);
}

TEST_F(LogSettings, ProcessIdAndDateTokens) {
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    ASSERT_TRUE(own("LogFile", folder_.narrow_file("%N_%p_%Y%M%d.log")));
    ChildResult child = run();
    GetLocalTime(&after);
    std::string const got = child.value("filename");
    bool matched = false;
    for (SYSTEMTIME const &t : {before, after}) {
        char name[64];
        std::snprintf(name, sizeof name, "child_log_%lu_%04d%02d%02d.log", child.pid, t.wYear,
                      t.wMonth, t.wDay);
        matched = matched || got == folder_.narrow_file(name);
    }
    EXPECT_TRUE(matched) << got;
    EXPECT_TRUE(file_exists(widen(got)));
}

TEST_F(LogSettings, ProcessIdPrefix) {
    std::string const path = folder_.narrow_file("pid.log");
    ASSERT_TRUE(own("LogFile", path));
    ASSERT_TRUE(common("LogPID", DWORD(1)));
    for (bool pid : {true, false}) {
        if (!pid) {
            ASSERT_TRUE(own("LogPID", std::string("0"))); // the program's key wins
        }
        DeleteFileW(widen(path).c_str());
        ChildResult child = run();
        unsigned long const tid = std::strtoul(child.value("tid").c_str(), nullptr, 10);
        char expected[64];
        if (pid)
            std::snprintf(expected, sizeof expected, "] [%04lu] [%04lu] child record\n", child.pid,
                          tid);
        else
            std::snprintf(expected, sizeof expected, "] [%04lu] child record\n", tid);
        std::string const text = read_file(widen(path));
        ASSERT_GE(text.size(), 24u);
        EXPECT_EQ(text.substr(24), expected) << text; // after "[YYYY-MM-DD hh:mm:ss.mmm"
    }
}

TEST_F(LogSettings, CounterSearchFromADriveLetterImage) {
    // Run as C:\...\app.exe, so that %D is a drive-letter folder; the files of
    // counters 0 and 1 exist before the child's library loads.
    ASSERT_TRUE(copy_child(L"child_log", folder_.path(), L"app.exe"));
    ASSERT_TRUE(
        registry_.set(kMachine, kCommon + "\\app", "LogFile", std::string("%D\\%N_%p_%i.log")));
    ChildResult child = run_child(folder_.file(L"app.exe"), [&](DWORD pid) {
        for (int i = 0; i < 2; ++i)
            write_file(
                folder_.file(L"app_" + std::to_wstring(pid) + L"_" + std::to_wstring(i) + L".log"),
                "");
    });
    ASSERT_TRUE(child.finished);
    std::string const got = child.value("filename");
    EXPECT_EQ(CompareStringOrdinal(
                  widen(got).c_str(), -1,
                  folder_.file(L"app_" + std::to_wstring(child.pid) + L"_2.log").c_str(), -1, TRUE),
              CSTR_EQUAL)
        << got;
    EXPECT_NE(read_file(widen(got)).find("] child record\n"), std::string::npos);
}

TEST_F(LogSettings, HostileLogFilePatterns) {
    // Tokens enough to grow the name far beyond any path: no file, at once.
    std::string tokens;
    for (int i = 0; i < 20000; ++i)
        tokens += "%D%N%p%i";
    ASSERT_TRUE(own("LogFile", tokens));
    auto start = std::chrono::steady_clock::now();
    ChildResult child = run();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(child.value("filename"), "");
    EXPECT_EQ(child.value("can"), "00000000");

    // A counter the path normalisation removes: the one file every candidate
    // names is used instead of searching for ever.
    ASSERT_TRUE(write_file(folder_.file(L"x.log"), "old\n"));
    ASSERT_TRUE(own("LogFile", folder_.narrow_file("%i\\..\\x.log")));
    EXPECT_EQ(run().value("filename"), folder_.narrow_file("0\\..\\x.log"));
    std::string const text = read_file(folder_.file(L"x.log"));
    EXPECT_EQ(text.compare(0, 4, "old\n"), 0);
    EXPECT_NE(text.find("] child record\n"), std::string::npos) << text;
}

// The library copied under another name is a second instance of its own,
// which this process can load and unload.
class LogLifecycle : public LogSettings {
protected:
    void SetUp() override {
        LogSettings::SetUp();
        ASSERT_TRUE(
            CopyFileW((program_folder() + L"zem.vfs.common.dll").c_str(), copy_.c_str(), FALSE));
        ASSERT_TRUE(registry_.set(kMachine, kCommon + "\\test_log", "LogFile", narrow(log_)));
    }
    std::wstring const copy_ = folder_.file(L"zem_copy.dll");
    std::wstring const log_ = folder_.file(L"copy.log");
};

TEST_F(LogLifecycle, UnloadClosesTheLogFile) {
    for (int round = 0; round < 2; ++round) {
        HMODULE module = LoadLibraryW(copy_.c_str());
        ASSERT_NE(module, nullptr) << GetLastError();
        EXPECT_TRUE(file_exists(log_));
        EXPECT_FALSE(DeleteFileW(log_.c_str())); // held open by the copy's logger
        FreeLibrary(module);
        EXPECT_TRUE(DeleteFileW(log_.c_str())) << GetLastError();
    }
}

TEST_F(LogLifecycle, LoadFailsWithoutAThreadLocalSlot) {
    std::vector<DWORD> slots;
    for (DWORD slot; (slot = TlsAlloc()) != TLS_OUT_OF_INDEXES;)
        slots.push_back(slot);
    HMODULE module = LoadLibraryW(copy_.c_str());
    for (DWORD slot : slots)
        TlsFree(slot);
    EXPECT_EQ(module, nullptr);
    if (module != nullptr)
        FreeLibrary(module);
    // The failed load destroyed the logger its static objects had built.
    EXPECT_TRUE(!file_exists(log_) || DeleteFileW(log_.c_str())) << GetLastError();
    module = LoadLibraryW(copy_.c_str());
    EXPECT_NE(module, nullptr);
    if (module != nullptr)
        FreeLibrary(module);
}
