// The logger settings read at load. Each test writes "LogLevel", "LogDebug",
// "LogFile" and "LogPID" into the common key and the program's own key in
// HKEY_LOCAL_MACHINE of the test prefix, then starts child_log.exe, which
// reports what its logger made of them (and writes one record "child record"
// at level 0). The values are removed again when the test ends.
#include "../../common/log/Log.h"

#include "log/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using zem::vfs::test::ChildResult;
using zem::vfs::test::file_exists;
using zem::vfs::test::narrow;
using zem::vfs::test::program_folder;
using zem::vfs::test::read_file;
using zem::vfs::test::RegistryScope;
using zem::vfs::test::run_child;
using zem::vfs::test::TempFolder;
using zem::vfs::test::widen;
using zem::vfs::test::write_file;

namespace {

std::string const kCommon = "Software\\Tavrin Labs\\Quillon";
std::string const kOwn = kCommon + "\\child_log";
char const *const kSettings[] = {"LogLevel", "LogDebug", "LogFile", "LogPID"};

// Case-insensitive comparison of two paths.
bool same_path(std::string const &a, std::string const &b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

class LogSettings : public ::testing::Test {
protected:
    void SetUp() override {
        // Settings left behind by an interrupted run would falsify every test.
        for (std::string const &path : {kCommon, kOwn}) {
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key) ==
                ERROR_SUCCESS) {
                for (char const *name : kSettings)
                    RegDeleteValueA(key, name);
                RegCloseKey(key);
            }
        }
        ASSERT_FALSE(folder_.path().empty());
    }

    bool common(char const *name, std::string const &text) {
        return registry_.set_string(HKEY_LOCAL_MACHINE, kCommon, name, text);
    }
    bool common(char const *name, DWORD value) {
        return registry_.set_dword(HKEY_LOCAL_MACHINE, kCommon, name, value);
    }
    bool own(char const *name, std::string const &text) {
        return registry_.set_string(HKEY_LOCAL_MACHINE, kOwn, name, text);
    }
    bool own(char const *name, DWORD value) {
        return registry_.set_dword(HKEY_LOCAL_MACHINE, kOwn, name, value);
    }
    bool own_raw(char const *name, DWORD type, void const *data, DWORD size) {
        return registry_.set(HKEY_LOCAL_MACHINE, kOwn, name, type, data, size);
    }

    ChildResult run(std::function<void(DWORD)> const &before = {}) {
        ChildResult result =
            run_child(program_folder() + L"child_log.exe", L"", before, folder_.path().c_str());
        EXPECT_TRUE(result.finished) << result.output;
        EXPECT_EQ(result.exit_code, 0u) << result.output;
        return result;
    }
    int level() {
        ChildResult result = run();
        return std::atoi(result.value("level", "-9").c_str());
    }

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
    for (char const *text : {"DEBUG", "debug", "DeBuG", "7", "  7", "+7"}) {
        ASSERT_TRUE(own("LogLevel", text));
        EXPECT_EQ(level(), 7) << text;
    }
    ASSERT_TRUE(own("LogLevel", "Notice"));
    EXPECT_EQ(level(), 5);
    ASSERT_TRUE(own("LogLevel", DWORD(6)));
    EXPECT_EQ(level(), 6);
    ASSERT_TRUE(own("LogLevel", DWORD(0)));
    EXPECT_EQ(level(), 0);
}

TEST_F(LogSettings, RefusedLevelFallsBackToTheCommonKey) {
    ASSERT_TRUE(common("LogLevel", "error"));
    for (char const *text : {"8", "-1", "7x", "", "debug ", "warning"}) {
        ASSERT_TRUE(own("LogLevel", text));
        EXPECT_EQ(level(), 3) << "'" << text << "'";
    }
    ASSERT_TRUE(own("LogLevel", DWORD(0xFFFFFFFF))); // the text -1
    EXPECT_EQ(level(), 3);
    ASSERT_TRUE(own("LogLevel", DWORD(8)));
    EXPECT_EQ(level(), 3);
    unsigned char binary[] = {'7', 0};
    ASSERT_TRUE(own_raw("LogLevel", REG_BINARY, binary, sizeof binary));
    EXPECT_EQ(level(), 3);
    ASSERT_TRUE(own_raw("LogLevel", REG_EXPAND_SZ, "7", 2));
    EXPECT_EQ(level(), 3);
}

TEST_F(LogSettings, RefusedEverywhereKeepsTheDefault) {
    ASSERT_TRUE(common("LogLevel", "9"));
    ASSERT_TRUE(own("LogLevel", "loud"));
    EXPECT_EQ(level(), 4);
}

TEST_F(LogSettings, HostileLevelValues) {
    // A text stored without its terminator.
    ASSERT_TRUE(own_raw("LogLevel", REG_SZ, "debug", 5));
    EXPECT_EQ(level(), 7);
    // A megabyte of text.
    std::string huge(1 << 20, 'A');
    ASSERT_TRUE(own_raw("LogLevel", REG_SZ, huge.c_str(), DWORD(huge.size() + 1)));
    EXPECT_EQ(level(), 4);
    // A DWORD of two bytes.
    ASSERT_TRUE(own_raw("LogLevel", REG_DWORD, "\x07\x00", 2));
    EXPECT_EQ(level(), 4);
    // A text with a NUL inside: read up to it.
    ASSERT_TRUE(own_raw("LogLevel", REG_SZ, "2\0junk", 7));
    EXPECT_EQ(level(), 2);
}

TEST_F(LogSettings, DebuggerOutputIsASink) {
    ASSERT_TRUE(own("LogDebug", DWORD(1)));
    EXPECT_EQ(run().value("can"), "11111000");
    ASSERT_TRUE(own("LogDebug", "12"));
    EXPECT_EQ(run().value("can"), "11111000");
    ASSERT_TRUE(common("LogDebug", DWORD(1)));
    ASSERT_TRUE(own("LogDebug", "0"));
    EXPECT_EQ(run().value("can"), "00000000");
    // Invalid in the program's key: the common key decides.
    for (std::string const &text :
         {std::string("1x"), std::string(), std::string(40, '1'), std::string(" 1 ")}) {
        ASSERT_TRUE(own("LogDebug", text));
        EXPECT_EQ(run().value("can"), "11111000") << "'" << text << "'";
    }
    ASSERT_TRUE(own_raw("LogDebug", REG_DWORD, "\x00\x00", 2));
    EXPECT_EQ(run().value("can"), "11111000");
    ASSERT_TRUE(own_raw("LogDebug", REG_QWORD, "\0\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(run().value("can"), "11111000");
}

TEST_F(LogSettings, LogFileFromTheCommonKey) {
    std::string const path = folder_.narrow_file("common.log");
    ASSERT_TRUE(common("LogFile", path));
    ChildResult child = run();
    EXPECT_EQ(child.value("filename"), path);
    EXPECT_EQ(child.value("can"), "11111000");
    std::string text = read_file(widen(path));
    EXPECT_NE(text.find("] child record\n"), std::string::npos) << text;
}

TEST_F(LogSettings, EmptyLogFileOfTheProgramDisablesTheCommonOne) {
    std::string const path = folder_.narrow_file("common.log");
    ASSERT_TRUE(common("LogFile", path));
    ASSERT_TRUE(own("LogFile", ""));
    ChildResult child = run();
    EXPECT_EQ(child.value("filename"), "");
    EXPECT_EQ(child.value("can"), "00000000");
    EXPECT_FALSE(file_exists(widen(path)));
}

TEST_F(LogSettings, UnopenableLogFileLeavesNoSinkButKeepsTheName) {
    std::string const path = folder_.narrow_file("missing\\x.log");
    ASSERT_TRUE(common("LogFile", folder_.narrow_file("common.log")));
    ASSERT_TRUE(own("LogFile", path));
    ChildResult child = run();
    EXPECT_EQ(child.value("filename"), path);
    EXPECT_EQ(child.value("can"), "00000000");
    EXPECT_FALSE(file_exists(folder_.file(L"common.log")));
}

TEST_F(LogSettings, DwordLogFileIsItsDecimalText) {
    ASSERT_TRUE(own("LogFile", DWORD(5)));
    ChildResult child = run();
    EXPECT_EQ(child.value("filename"), "5");
    // Relative to the child's current folder.
    EXPECT_NE(read_file(folder_.file(L"5")).find("child record"), std::string::npos);
}

TEST_F(LogSettings, ProcessIdAndDateTokens) {
    SYSTEMTIME before;
    GetLocalTime(&before);
    ASSERT_TRUE(own("LogFile", folder_.narrow_file("%N_%p_%Y%M%d.log")));
    ChildResult child = run();
    SYSTEMTIME after;
    GetLocalTime(&after);
    std::vector<std::string> accepted;
    for (SYSTEMTIME const &t : {before, after}) {
        char name[64];
        std::snprintf(name, sizeof name, "child_log_%lu_%04d%02d%02d.log", child.pid, t.wYear,
                      t.wMonth, t.wDay);
        accepted.push_back(folder_.narrow_file(name));
    }
    std::string got = child.value("filename");
    EXPECT_TRUE(got == accepted[0] || got == accepted[1]) << got;
    EXPECT_TRUE(file_exists(widen(got)));
}

TEST_F(LogSettings, ProcessIdPrefix) {
    std::string const path = folder_.narrow_file("pid.log");
    ASSERT_TRUE(own("LogFile", path));
    ASSERT_TRUE(common("LogPID", DWORD(1)));
    ChildResult child = run();
    std::string text = read_file(widen(path));
    char expected[64];
    std::snprintf(expected, sizeof expected, "] [%04lu] [%04lu] child record\n", child.pid,
                  std::strtoul(child.value("tid").c_str(), nullptr, 10));
    ASSERT_GE(text.size(), 26u);
    EXPECT_EQ(text[0], '[');
    EXPECT_EQ(text.substr(24), expected) << text;

    // Switched off again by the program's key.
    ASSERT_TRUE(own("LogPID", "0"));
    ASSERT_TRUE(DeleteFileW(widen(path).c_str()));
    child = run();
    text = read_file(widen(path));
    std::snprintf(expected, sizeof expected, "] [%04lu] child record\n",
                  std::strtoul(child.value("tid").c_str(), nullptr, 10));
    EXPECT_EQ(text.substr(24), expected) << text;
}

TEST_F(LogSettings, CounterSearchFromADriveLetterImage) {
    // Run as C:\...\app.exe, so that %D is a drive-letter folder; the files
    // for counters 0 and 1 exist when the child's library loads.
    ASSERT_TRUE(zem::vfs::test::copy_child(L"child_log", folder_.path(), L"app.exe"));
    std::string const app_key = kCommon + "\\app";
    ASSERT_TRUE(registry_.set_string(HKEY_LOCAL_MACHINE, app_key, "LogFile", "%D\\%N_%p_%i.log"));
    DWORD pid = 0;
    ChildResult child = run_child(
        folder_.file(L"app.exe"), L"",
        [&](DWORD id) {
            pid = id;
            for (int i = 0; i < 2; ++i) {
                wchar_t name[64];
                std::swprintf(name, 64, L"app_%lu_%d.log", id, i);
                write_file(folder_.file(name), "");
            }
        },
        folder_.path().c_str());
    ASSERT_TRUE(child.finished);
    char expected[64];
    std::snprintf(expected, sizeof expected, "app_%lu_2.log", pid);
    std::string const got = child.value("filename");
    EXPECT_TRUE(same_path(got, folder_.narrow_file(expected))) << got;
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

    // A counter the path normalisation removes: the search ends, the one file
    // every candidate names is used.
    ASSERT_TRUE(write_file(folder_.file(L"x.log"), "old\n"));
    std::string const pattern = folder_.narrow_file("%i\\..\\x.log");
    ASSERT_TRUE(own("LogFile", pattern));
    child = run();
    EXPECT_EQ(child.value("filename"), folder_.narrow_file("0\\..\\x.log"));
    std::string text = read_file(folder_.file(L"x.log"));
    EXPECT_EQ(text.compare(0, 4, "old\n"), 0);
    EXPECT_NE(text.find("] child record\n"), std::string::npos) << text;

    // A type the setting does not take: the common key decides.
    ASSERT_TRUE(common("LogFile", folder_.narrow_file("common.log")));
    ASSERT_TRUE(own_raw("LogFile", REG_MULTI_SZ, "a\0b\0", 5));
    EXPECT_EQ(run().value("filename"), folder_.narrow_file("common.log"));
}

// The library copied under another name is a second, separate instance that
// can be loaded and unloaded inside this process.
class LogLifecycle : public LogSettings {
protected:
    void SetUp() override {
        LogSettings::SetUp();
        copy_ = folder_.file(L"zem_copy.dll");
        ASSERT_TRUE(
            CopyFileW((program_folder() + L"zem.vfs.common.dll").c_str(), copy_.c_str(), FALSE));
        log_ = folder_.file(L"copy.log");
        ASSERT_TRUE(registry_.set_string(HKEY_LOCAL_MACHINE, kCommon + "\\test_log", "LogFile",
                                         narrow(log_)));
    }
    std::wstring copy_;
    std::wstring log_;
};

TEST_F(LogLifecycle, UnloadClosesTheLogFile) {
    HMODULE module = LoadLibraryW(copy_.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_TRUE(file_exists(log_));
    EXPECT_FALSE(DeleteFileW(log_.c_str())); // held open by the copy's logger
    FreeLibrary(module);
    EXPECT_TRUE(DeleteFileW(log_.c_str())) << GetLastError();
    // Loaded again: a fresh logger opens the file again.
    module = LoadLibraryW(copy_.c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(file_exists(log_));
    FreeLibrary(module);
    EXPECT_TRUE(DeleteFileW(log_.c_str()));
}

TEST_F(LogLifecycle, LoadFailsWithoutAThreadLocalSlot) {
    std::vector<DWORD> slots;
    for (;;) {
        DWORD slot = TlsAlloc();
        if (slot == TLS_OUT_OF_INDEXES)
            break;
        slots.push_back(slot);
    }
    HMODULE module = LoadLibraryW(copy_.c_str());
    for (DWORD slot : slots)
        TlsFree(slot);
    EXPECT_EQ(module, nullptr);
    if (module != nullptr)
        FreeLibrary(module);
    // The failed load destroyed the logger its static initialisation built.
    if (file_exists(log_)) {
        EXPECT_TRUE(DeleteFileW(log_.c_str())) << GetLastError();
    }
    // With slots available again the library loads.
    module = LoadLibraryW(copy_.c_str());
    EXPECT_NE(module, nullptr);
    if (module != nullptr)
        FreeLibrary(module);
}
