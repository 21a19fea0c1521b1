// The logger in this process (loaded without settings): records, settings,
// threads, suppression, printers, file-name patterns; and the registry
// settings read at load, through child_log.exe and a second copy of the DLL.
#include "../../common/log/Log.h"
#include "../../common/log/internal/Logger.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

// The lines of `text`; this thread's prefix "[YYYY-MM-DD hh:mm:ss.mmm] [tid] "
// becomes "@", a last line without line feed ends in "<no LF>".
std::vector<std::string> records(std::string const &text) {
    char tag[32];
    std::snprintf(tag, sizeof tag, "] [%04lu] ", GetCurrentThreadId());
    std::vector<std::string> lines;
    for (std::size_t at = 0, end = 0; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        std::string line =
            end == std::string::npos ? text.substr(at) + "<no LF>" : text.substr(at, end - at);
        std::size_t const t = line.find(tag);
        bool stamp = t != std::string::npos && t >= 24;
        for (std::size_t i = 0; stamp && i < 24; ++i) {
            char const c = line[t - 24 + i], shape = "[dddd-dd-dd dd:dd:dd.ddd"[i];
            stamp = shape == 'd' ? c >= '0' && c <= '9' : c == shape;
        }
        if (stamp)
            line.replace(t - 24, 24 + std::strlen(tag), "@");
        lines.push_back(line);
    }
    return lines;
}

class LogFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Log(nullptr, 0, 8).open(file_.c_str())); }
    void TearDown() override {
        Log s(nullptr, 0, 8);
        s.open(nullptr);
        s.level(4);
        s.console(false);
    }
    std::vector<std::string> lines() const { return records(read_file(widen(file_))); }
    TempFolder folder_{L"zem_log"};
    std::string file_ = folder_.narrow_file("records.log");
};

int g_formatted = 0;
int formatted() {
    return ++g_formatted;
}

} // namespace

TEST(Log, NothingWithoutSettings) {
    EXPECT_TRUE(Log(nullptr, 0, 8).filename().empty());
    for (int n = -1; n <= 8; ++n)
        EXPECT_FALSE(Log::can(n)) << n;
}

TEST_F(LogFile, Thresholds) {
    EXPECT_TRUE(Log::can(-3)); // a signed comparison
    Log s(nullptr, 0, 8);
    EXPECT_FALSE(s.level(static_cast<char const *>(nullptr)));
    struct Case {
        char const *name; // null: the number
        int number;
        bool accepted;
        int threshold;
    } const cases[] = {
        {nullptr, 8, false, 4},
        {nullptr, -1, false, 4},
        {nullptr, INT_MIN, false, 4},
        {nullptr, 0, true, 0},
        {"Crit", 0, true, 2},
        {"8", 0, false, 2},
        {"-1", 0, false, 2},
        {"7x", 0, false, 2},
        {"", 0, false, 2},
        {" ", 0, false, 2},
        {"debug ", 0, false, 2},
        {"0x7", 0, false, 2},
        {"warning", 0, false, 2},
        {"99999999999999999999", 0, false, 2},
        {" +6", 0, true, 6},
        {"emerge", 0, true, 0},
        {"ALERT", 0, true, 1},
        {"error", 0, true, 3},
        {"wArN", 0, true, 4},
        {"notice", 0, true, 5},
        {"INFO", 0, true, 6},
        {"debug", 0, true, 7},
    };
    for (auto const &c : cases) {
        SCOPED_TRACE(c.name ? c.name : std::to_string(c.number));
        EXPECT_EQ(c.name ? s.level(c.name) : s.level(c.number), c.accepted);
        EXPECT_TRUE(Log::can(c.threshold));
        EXPECT_FALSE(Log::can(c.threshold + 1));
    }
}

TEST_F(LogFile, RecordLayouts) {
    std::size_t const n = 4094 - 24 - 9 - (GetCurrentThreadId() > 9999 ? 1 : 0);
    g_formatted = 0;
    ZEM_LOG(5, "disabled " << formatted());
    disable_thread_log();
    ZEM_LOG(3, "suppressed " << formatted());
    enable_thread_log();
    EXPECT_EQ(g_formatted, 0);
    ZEM_LOG(4, "pipe "
                   << "p1"
                   << " failed: " << 231);
    ZEM_LOG(4, "done\n");
    { Log bare(nullptr, 0, 8); }
    Log("file.cpp", 3, 15) << "raw " << 15;
    Log("a.cpp", 12, 7) << "seven";
    Log("a.cpp", 12, 4) << "four";
    Log(std::string(2000, 'f').c_str(), 1, 7) << "text";
    ZEM_LOG(4, "first" << std::flush << "second");
    ZEM_LOG(4, "one" << std::endl << "two");
    SetLastError(1234);
    ZEM_LOG(4, "error " << GetLastError() << std::flush << " and " << GetLastError());
    EXPECT_EQ(GetLastError(), 1234u);
    ZEM_LOG(4, std::string(5000, 'a') << "tail");
    ZEM_LOG(4, std::string(n, 'b'));
    ZEM_LOG(4, std::string(n, 'c') << '\n');
    ZEM_LOG(4, std::string(n, 'd') << 'e');
    ZEM_LOG(4, "next");
    EXPECT_EQ(lines(),
              (std::vector<std::string>{
                  "@pipe p1 failed: 231", "@done", "raw 15", "a.cpp(12): @seven", "@four",
                  std::string(1023, 'f') + "text", "@first", "second", "@one", "two", "@error 1234",
                  " and 1234", "@" + std::string(n, 'a'), "@" + std::string(n, 'b'),
                  "@" + std::string(n, 'c'), "@" + std::string(n, 'd'), "@next"}));
}

TEST_F(LogFile, OpenAndConsole) {
    std::string const other = folder_.narrow_file("other.log");
    ASSERT_TRUE(write_file(widen(other), "old\n"));
    ASSERT_TRUE(Log(nullptr, 0, 8).open(other.c_str()));
    ZEM_LOG(4, "new");
    EXPECT_EQ(records(read_file(widen(other))), (std::vector<std::string>{"old", "@new"}));
    EXPECT_TRUE(lines().empty());
    EXPECT_TRUE(Log(nullptr, 0, 8).filename().empty()); // open keeps the load-time name
    EXPECT_FALSE(Log(nullptr, 0, 8).open(folder_.narrow_file("none\\x.log").c_str()));
    EXPECT_FALSE(Log::can(0));
    std::ostringstream captured;
    std::streambuf *saved = std::cout.rdbuf(captured.rdbuf());
    Log(nullptr, 0, 8).console(true);
    ZEM_LOG(4, "to console");
    Log(nullptr, 0, 8).console(false);
    EXPECT_FALSE(Log::can(0));
    std::cout.rdbuf(saved);
    EXPECT_EQ(records(captured.str()), std::vector<std::string>{"@to console"});
    EXPECT_EQ(records(read_file(widen(other))).size(), 2u);
}

// Four threads write records of three emissions each while another thread
// switches between two files: every record lands whole in one of them.
TEST_F(LogFile, RecordsOfThreadsWhileFilesSwitch) {
    HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread watchdog([finished] {
        if (WaitForSingleObject(finished, 60000) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "records of threads: stuck for 60 s\n");
            TerminateProcess(GetCurrentProcess(), 3);
        }
    });
    std::string const second = folder_.narrow_file("second.log");
    std::atomic<bool> writing{true};
    std::thread switcher([&] {
        for (int i = 0; writing; ++i)
            Log(nullptr, 0, 8).open((i % 2 ? file_ : second).c_str());
    });
    int const threads = 4, count = 400;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < count; ++i)
                ZEM_LOG(4, "T" << t << " #" << i << std::endl << "middle" << std::flush << t);
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    writing = false;
    switcher.join();
    SetEvent(finished);
    watchdog.join();
    CloseHandle(finished);
    std::vector<int> seen(threads * count, 0);
    for (std::string const &name : {file_, second}) {
        std::vector<std::string> got = records(read_file(widen(name)));
        for (std::size_t i = 0; i < got.size(); i += 3) {
            int t = -1, n = -1;
            std::size_t const at = got[i].find("] T");
            ASSERT_TRUE(at != std::string::npos && i + 2 < got.size()) << got[i];
            ASSERT_EQ(std::sscanf(got[i].c_str() + at, "] T%d #%d", &t, &n), 2) << got[i];
            ASSERT_TRUE(t >= 0 && t < threads && n >= 0 && n < count) << got[i];
            ++seen[static_cast<std::size_t>(t * count + n)];
            EXPECT_EQ(got[i + 1] + got[i + 2], "middle" + std::to_string(t));
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), threads * count);
}

TEST_F(LogFile, SuppressionIsPerThread) {
    disable_thread_log();
    disable_thread_log();
    ZEM_LOG(0, "suppressed");
    std::thread([] { ZEM_LOG(0, "other " << can_thread_log()); }).join();
    enable_thread_log();
    EXPECT_FALSE(can_thread_log());
    enable_thread_log();
    enable_thread_log(); // unmatched: the counter does not wrap around
    EXPECT_TRUE(can_thread_log());
    ZEM_LOG(0, "again");
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find("] other 1"), std::string::npos) << got[0];
    EXPECT_EQ(got[1], "@again");
}

TEST(Log, Printers) {
    unsigned char bytes[20] = {0x00, 0x1f, 0x20, 0x7f, 0x80, 0x81, 0xff};
    for (int i = 7; i < 20; ++i)
        bytes[i] = static_cast<unsigned char>(0x41 + i);
    std::string const a16(16, 'a'), big(100000, 'z');
    DataTrunk const full = {bytes, 20}, empty = {"x", 0}, hollow = {nullptr, 16},
                    sixteen = {a16.data(), 16}, large = {big.data(), big.size()};
    std::string line = "0000";
    for (int i = 0; i < 32; ++i)
        line += i < 16 ? " 61" : " a";
    SYSTEMTIME const local = {2021, 3, 0, 4, 5, 6, 7, 89};
    FILETIME local_time, utc, huge = {0x00000001, 0x80000000};
    SystemTimeToFileTime(&local, &local_time);
    LocalFileTimeToFileTime(&local_time, &utc);
    std::ostringstream os[10];
    os[0] << std::hex << &full << std::setw(4) << 255; // the size in decimal, left in hex
    os[1] << &empty;
    os[2] << static_cast<DataTrunk const *>(nullptr);
    os[3] << &hollow; // nothing is read without a data pointer
    os[4] << &sixteen;
    os[5] << &large; // at most 64 bytes
    os[6] << &utc;
    os[7] << static_cast<FILETIME const *>(nullptr);
    os[8] << &huge << ' ' << 26; // beyond the calendar: raw, left in hex
    std::string const expected[9] = {
        "DataTrunk Size: 20\n0000 00 1f 20 7f 80 81 ff 48 49 4a 4b 4c 4d 4e 4f 50 . .   \x7f \x80 "
        ". . H I J K L M N O P\n0010 51 52 53 54" +
            std::string(36, ' ') + " Q R S T\n00ff",
        "DataTrunk Size: 0",
        "<null>",
        "DataTrunk Size: 16",
        "DataTrunk Size: 16\n" + line + "\n",
        "",
        "2021-03-04 05:06:07.089",
        "<null>",
        "<8000000000000001> 1a"};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(i == 5 ? "" : os[i].str(), expected[i]) << i;
    std::vector<std::string> const dump = records(os[5].str());
    ASSERT_EQ(dump.size(), 5u);
    EXPECT_EQ(dump[0] + dump[4].substr(0, 7), "DataTrunk Size: 1000000030 7a");
}

TEST(Log, FileNamePatterns) {
    TempFolder folder(L"zem_pattern");
    std::string const d = narrow(folder.path()), max(detail::max_log_file_name, 'a');
    for (char const *name : {"app_1234_0.log", "app_1234_1.log", "c0-0", "d_0_%Y.log", "x.log"})
        ASSERT_TRUE(write_file(widen(d + "\\" + name), ""));
    std::string tokens;
    for (int i = 0; i < 100000; ++i)
        tokens += "%D%N%p%i%Y";
    char const *const image = "C:\\Apps\\app.v2.exe";
    struct Case {
        std::string pattern;
        char const *image;
        std::string name; // "" when refused
    } const cases[] = {
        {"%D\\%N_%p.log", image, "C:\\Apps\\app.v2_1234.log"},
        {"%p-%p %N%N", image, "1234-1234 app.v2app.v2"},
        {"%Y%M%d-%H%m%s", image, "20240209-070503"},
        {"%x %% %P %y", image, "%x %% %P %y"},
        {"[%D][%N]", "C:/tools/run", "[C:/tools][run]"},
        {"[%D][%N]", "app.exe", "[][app]"},
        {"%D\\%N_%p", nullptr, "%D\\%N_1234"},
        {"%N", "C:\\dir\\x%Ny.exe", "x%Ny"},          // not scanned again by its own token
        {"%D", "C:\\%N_%Y\\app.exe", "C:\\app_2024"}, // but by the later ones
        {d + "\\%N_%p_%i.log", "C:\\x\\app.exe", d + "\\app_1234_2.log"},
        {d + "\\c%i-%i", image, d + "\\c1-1"},
        {d + "\\d_%i_%Y.log", image, d + "\\d_1_2024.log"},   // tested before the date
        {d + "\\%i\\..\\x.log", image, d + "\\0\\..\\x.log"}, // the search would not end
        {"C:\\" + std::string(5000, 'n') + "%i", image, "C:\\" + std::string(5000, 'n') + "0"},
        {tokens, image, ""},
        {max + "a", image, ""},
        {max, image, max},
        {max.substr(10) + "%p%p%p", image, ""},
        {max.substr(10) + "%p%p", image, max.substr(10) + "12341234"},
    };
    for (auto const &c : cases) {
        SCOPED_TRACE(c.pattern.substr(0, 40));
        SYSTEMTIME const t = {2024, 2, 0, 9, 7, 5, 3, 0};
        std::string name = "<stale>";
        EXPECT_EQ(detail::expand_log_file_name(c.pattern, 1234, c.image, t, name), !c.name.empty());
        EXPECT_EQ(name, c.name);
    }
}

namespace {

std::string const kCommon = "Software\\Tavrin Labs\\Quillon";
std::string sz(std::string const &text) {
    return text + '\0';
}
std::string dw(DWORD value) {
    return std::string(reinterpret_cast<char const *>(&value), sizeof value);
}

} // namespace

// The settings at load, each from the program's key or else the common key.
TEST(Log, RegistrySettings) {
    TempFolder folder(L"zem_logreg");
    std::string const d = narrow(folder.path()) + "\\", today = [] {
        SYSTEMTIME t;
        GetLocalTime(&t);
        char text[16];
        std::snprintf(text, sizeof text, "%04d%02d%02d", t.wYear, t.wMonth, t.wDay);
        return std::string(text);
    }();
    std::string tokens;
    for (int i = 0; i < 20000; ++i)
        tokens += "%D%N%p%i";
    ASSERT_TRUE(write_file(widen(d + "x.log"), "old\n"));
    struct Value {
        bool own; // else the common key
        char const *name;
        DWORD type;
        std::string data;
    };
    struct Case {
        std::vector<Value> values;
        char const *level, *can;
        std::string file; // "%p" and "%T" stand for the child's id and today
        char pid;         // the record's prefix: 'y' with the process id, 'n' without
    } const cases[] = {
        {{}, "4", "00000000", "", '-'},
        {{{1, "LogLevel", REG_SZ, sz("DEBUG")}, {1, "LogDebug", REG_DWORD, dw(1)}},
         "7",
         "11111111",
         "",
         '-'},
        {{{1, "LogLevel", REG_SZ, "debug"},
          {0, "LogLevel", REG_SZ, sz("error")},
          {1, "LogDebug", REG_SZ, sz("1")}},
         "7",
         "11111111",
         "",
         '-'},
        {{{1, "LogLevel", REG_SZ, sz("7x")},
          {0, "LogLevel", REG_SZ, sz("error")},
          {0, "LogDebug", REG_DWORD, dw(1)},
          {1, "LogDebug", REG_SZ, sz("0")}},
         "3",
         "00000000",
         "",
         '-'},
        {{{1, "LogLevel", REG_DWORD, dw(~0u)},
          {0, "LogLevel", REG_SZ, sz("Notice")},
          {1, "LogDebug", REG_SZ, sz("1x")},
          {0, "LogDebug", REG_DWORD, dw(1)}},
         "5",
         "11111100",
         "",
         '-'},
        {{{1, "LogLevel", REG_BINARY, sz("7")},
          {0, "LogLevel", REG_SZ, sz("9")},
          {1, "LogDebug", REG_QWORD, std::string(8, '\0')},
          {0, "LogDebug", REG_DWORD, dw(1)}},
         "4",
         "11111000",
         "",
         '-'},
        {{{0, "LogFile", REG_SZ, sz(d + "common.log")}, {1, "LogFile", REG_SZ, sz("")}},
         "4",
         "00000000",
         "",
         '-'},
        {{{0, "LogFile", REG_SZ, sz(d + "common.log")}, {0, "LogPID", REG_DWORD, dw(1)}},
         "4",
         "11111000",
         d + "common.log",
         'y'},
        {{{1, "LogFile", REG_SZ, sz(d + "none\\x.log")}}, "4", "00000000", d + "none\\x.log", '-'},
        {{{1, "LogFile", REG_DWORD, dw(5)},
          {0, "LogPID", REG_DWORD, dw(1)},
          {1, "LogPID", REG_SZ, sz("0")}},
         "4",
         "11111000",
         "5",
         'n'},
        {{{1, "LogFile", REG_SZ, sz(d + "%N_%p_%Y%M%d.log")}},
         "4",
         "11111000",
         d + "child_log_%p_%T.log",
         'n'},
        {{{1, "LogFile", REG_SZ, sz(tokens)}}, "4", "00000000", "", '-'},
        {{{1, "LogFile", REG_SZ, sz(d + "%i\\..\\x.log")}},
         "4",
         "11111000",
         d + "0\\..\\x.log",
         'n'},
    };
    for (auto const &c : cases) {
        SCOPED_TRACE(c.values.empty() ? "no values" : c.values.back().data.substr(0, 40));
        RegistryScope registry;
        for (auto const &v : c.values)
            ASSERT_TRUE(registry.set(HKEY_LOCAL_MACHINE, v.own ? kCommon + "\\child_log" : kCommon,
                                     v.name, v.type, v.data.data(), DWORD(v.data.size())));
        ChildResult child =
            run_child(program_folder() + L"child_log.exe", {}, folder.path().c_str());
        ASSERT_TRUE(child.finished && child.exit_code == 0) << child.output;
        EXPECT_EQ(child.value("level") + " " + child.value("can"),
                  std::string(c.level) + " " + c.can);
        std::string file = c.file, pid = std::to_string(child.pid);
        if (file.find("%p") != std::string::npos)
            file.replace(file.find("%p"), 2, pid).replace(file.find("%T"), 2, today);
        EXPECT_EQ(child.value("filename"), file);
        if (c.pid != '-') {
            std::string text = read_file(widen(file[1] == ':' ? file : d + file));
            text.erase(0, text.rfind("\n[", text.size() - 2) + 1); // the last record
            unsigned long const tid = std::stoul(child.value("tid"));
            char expected[64];
            if (c.pid == 'y')
                std::snprintf(expected, sizeof expected, "] [%04lu] [%04lu] child record\n",
                              child.pid, tid);
            else
                std::snprintf(expected, sizeof expected, "] [%04lu] child record\n", tid);
            EXPECT_EQ(text.substr(std::min<std::size_t>(24, text.size())), expected) << text;
        }
    }
}

// Run as C:\...\app.exe, %D is a drive-letter folder; the files of counters 0
// and 1 exist before the child's library loads.
TEST(Log, CounterSearchFromADriveLetterImage) {
    TempFolder folder(L"zem_logapp");
    RegistryScope registry;
    ASSERT_TRUE(copy_child(L"child_log", folder.path(), L"app.exe"));
    ASSERT_TRUE(
        registry.set(HKEY_LOCAL_MACHINE, kCommon + "\\app", "LogFile", sz("%D\\%N_%p_%i.log")));
    auto name = [&](DWORD pid, int i) {
        return folder.file(L"app_" + std::to_wstring(pid) + L"_" + std::to_wstring(i) + L".log");
    };
    ChildResult child = run_child(folder.file(L"app.exe"), [&](DWORD pid) {
        write_file(name(pid, 0), "");
        write_file(name(pid, 1), "");
    });
    EXPECT_EQ(CompareStringOrdinal(widen(child.value("filename")).c_str(), -1,
                                   name(child.pid, 2).c_str(), -1, TRUE),
              CSTR_EQUAL)
        << child.output;
    EXPECT_NE(read_file(name(child.pid, 2)).find("] child record\n"), std::string::npos);
}

// A second copy of the library, loaded and unloaded by this process.
TEST(Log, LoadAndUnload) {
    TempFolder folder(L"zem_logdll");
    RegistryScope registry;
    std::wstring const copy = folder.file(L"zem_copy.dll"), log = folder.file(L"copy.log");
    ASSERT_TRUE(CopyFileW((program_folder() + L"zem.vfs.common.dll").c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(registry.set(HKEY_LOCAL_MACHINE, kCommon + "\\test_log", "LogFile", narrow(log)));
    for (int round = 0; round < 2; ++round) {
        HMODULE module = LoadLibraryW(copy.c_str());
        ASSERT_NE(module, nullptr) << GetLastError();
        EXPECT_FALSE(DeleteFileW(log.c_str())); // held open by the copy's logger
        FreeLibrary(module);
        EXPECT_TRUE(DeleteFileW(log.c_str())) << GetLastError(); // closed at unload
    }
    std::vector<DWORD> slots;
    for (DWORD slot; (slot = TlsAlloc()) != TLS_OUT_OF_INDEXES;)
        slots.push_back(slot);
    HMODULE module = LoadLibraryW(copy.c_str()); // no thread-local slot: no load
    for (DWORD slot : slots)
        TlsFree(slot);
    EXPECT_EQ(module, nullptr);
    // The failed load destroyed the logger its static objects had built.
    EXPECT_TRUE(!file_exists(log) || DeleteFileW(log.c_str())) << GetLastError();
}
