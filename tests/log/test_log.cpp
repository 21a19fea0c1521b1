// The logger inside the test process: records in a log file (prefix, bare
// records, threshold, mid-record flushes, the cut of an overlong record,
// threads, last error, suppression), the console sink, the level rules, the
// printers and the "LogFile" pattern rules.
#include "../../common/log/Log.h"
#include "../../common/log/internal/Logger.h"

#include "log/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <iomanip>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using zem::vfs::DataTrunk;
using zem::vfs::Log;
using zem::vfs::test::narrow;
using zem::vfs::test::read_file;
using zem::vfs::test::TempFolder;
using zem::vfs::test::write_file;

namespace {

std::vector<std::string> split_lines(std::string const &text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            lines.push_back(text.substr(at) + "<no line feed>");
            break;
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// Removes "[YYYY-MM-DD hh:mm:ss.mmm] " from the front of `line`; false when
// the line does not start with such a time stamp.
bool strip_time(std::string &line) {
    static char const shape[] = "[dddd-dd-dd dd:dd:dd.ddd] ";
    std::size_t const length = sizeof shape - 1;
    if (line.size() < length)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        bool ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                  : line[i] == shape[i];
        if (!ok)
            return false;
    }
    line.erase(0, length);
    return true;
}

std::string bracket(unsigned long id) {
    char text[32];
    std::snprintf(text, sizeof text, "[%04lu] ", id);
    return text;
}

std::string const kThread = bracket(GetCurrentThreadId());

// Records go to a fresh file; every setting is put back afterwards.
class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        path_ = folder_.file(L"records.log");
        Log settings(nullptr, 0, 8);
        ASSERT_TRUE(settings.open(narrow(path_).c_str()));
        settings.level(4);
    }
    void TearDown() override {
        Log settings(nullptr, 0, 8);
        settings.open(nullptr);
        settings.level(4);
        settings.console(false);
    }

    std::string content() const { return read_file(path_); }
    std::vector<std::string> lines() const { return split_lines(content()); }

    TempFolder folder_{L"zem_log"};
    std::wstring path_;
};

int g_formatted = 0;
int formatted() {
    return ++g_formatted;
}

} // namespace

// ---------------------------------------------------------------------------
// Defaults and thresholds
// ---------------------------------------------------------------------------

TEST(LogDefaults, WithoutRegistryValuesNoLevelCanBeWritten) {
    // The test program starts without logger settings: threshold 4, no sink.
    EXPECT_TRUE(Log(nullptr, 0, 8).filename().empty());
    for (int n = -1; n <= 8; ++n)
        EXPECT_FALSE(Log::can(n)) << n;
    EXPECT_TRUE(zem::vfs::can_thread_log());
}

TEST_F(LogFile, ThresholdDecidesWhichLevelsAreWritten) {
    EXPECT_TRUE(Log::can(4));
    EXPECT_FALSE(Log::can(5));
    EXPECT_TRUE(Log::can(-3)); // a signed comparison
    ZEM_LOG(5, "notice");
    ZEM_LOG(4, "warn");
    Log settings(nullptr, 0, 8);
    EXPECT_FALSE(settings.level(8));
    EXPECT_FALSE(settings.level(-1));
    EXPECT_FALSE(settings.level(INT_MIN));
    EXPECT_TRUE(Log::can(4));
    EXPECT_FALSE(Log::can(5));
    EXPECT_TRUE(settings.level(0));
    EXPECT_TRUE(Log::can(0));
    EXPECT_FALSE(Log::can(1));
    EXPECT_TRUE(settings.level(7));
    ZEM_LOG(7, "debug");
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find("warn"), std::string::npos);
    EXPECT_NE(got[1].find("debug"), std::string::npos);
}

TEST_F(LogFile, LevelByName) {
    Log settings(nullptr, 0, 8);
    EXPECT_TRUE(settings.level("DEBUG"));
    EXPECT_TRUE(Log::can(7));
    EXPECT_TRUE(settings.level("Crit"));
    EXPECT_TRUE(Log::can(2));
    EXPECT_FALSE(Log::can(3));
    for (char const *refused :
         {"8", "-1", "7x", "", " ", "debug ", "0x7", static_cast<char const *>(nullptr)}) {
        EXPECT_FALSE(settings.level(refused)) << (refused ? refused : "<null>");
        EXPECT_TRUE(Log::can(2));
        EXPECT_FALSE(Log::can(3));
    }
    EXPECT_TRUE(settings.level(" +6"));
    EXPECT_TRUE(Log::can(6));
    EXPECT_FALSE(Log::can(7));
}

TEST(LogLevelRule, NamesNumbersAndRefusals) {
    using zem::vfs::detail::parse_log_level;
    char const *names[] = {"emerge", "ALERT", "Crit", "error", "wArN", "notice", "INFO", "debug"};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(parse_log_level(names[i]), i) << names[i];
    EXPECT_EQ(parse_log_level("7"), 7);
    EXPECT_EQ(parse_log_level("  3"), 3);
    EXPECT_EQ(parse_log_level("-0"), 0);
    // Numbers outside 0..7 are parsed; the caller refuses them.
    EXPECT_EQ(parse_log_level("8"), 8);
    EXPECT_EQ(parse_log_level("-2"), -2);
    EXPECT_EQ(parse_log_level(""), -1);
    EXPECT_EQ(parse_log_level("7x"), -1);
    EXPECT_EQ(parse_log_level("7 "), -1);
    EXPECT_EQ(parse_log_level("warning"), -1);
    EXPECT_EQ(parse_log_level("99999999999999999999"), -1);
    EXPECT_EQ(parse_log_level(nullptr), -1);
}

TEST_F(LogFile, DisabledStatementFormatsNothing) {
    g_formatted = 0;
    ZEM_LOG(6, "value " << formatted());
    EXPECT_EQ(g_formatted, 0);
    ZEM_LOG(3, "value " << formatted());
    EXPECT_EQ(g_formatted, 1);
    zem::vfs::disable_thread_log();
    ZEM_LOG(3, "value " << formatted());
    zem::vfs::enable_thread_log();
    EXPECT_EQ(g_formatted, 1);
}

// ---------------------------------------------------------------------------
// Record layout
// ---------------------------------------------------------------------------

TEST_F(LogFile, RecordIsTimeThreadAndTextOnOneLine) {
    ZEM_LOG(4, "pipe "
                   << "p1"
                   << " failed: " << 231);
    std::string text = content();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::vector<std::string> got = split_lines(text);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_TRUE(strip_time(got[0])) << got[0];
    EXPECT_EQ(got[0], kThread + "pipe p1 failed: 231");
}

TEST_F(LogFile, TextEndingWithLineFeedGetsNoSecond) {
    ZEM_LOG(4, "done\n");
    std::string text = content();
    ASSERT_GE(text.size(), 6u);
    EXPECT_EQ(text.substr(text.size() - 6), " done\n");
    EXPECT_EQ(split_lines(text).size(), 1u);
}

TEST_F(LogFile, BareRecordsHaveNoPrefix) {
    { Log bare(nullptr, 0, 8); }
    EXPECT_EQ(content(), ""); // a record without text emits nothing
    {
        Log bare(nullptr, 0, 8);
        bare << "raw";
    }
    // The constructor does not test the threshold: 15 is bare and written.
    {
        Log bare("file.cpp", 3, 15);
        bare << "raw " << 15;
    }
    EXPECT_EQ(content(), "raw\nraw 15\n");
}

TEST_F(LogFile, FileAndLineOnlyAtDebugLevel) {
    {
        Log record("a.cpp", 12, 7);
        record << "seven";
    }
    {
        Log record("a.cpp", 12, 4);
        record << "four";
    }
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);
    ASSERT_EQ(got[0].compare(0, 11, "a.cpp(12): "), 0) << got[0];
    got[0].erase(0, 11);
    ASSERT_TRUE(strip_time(got[0]));
    EXPECT_EQ(got[0], kThread + "seven");
    ASSERT_TRUE(strip_time(got[1])) << got[1];
    EXPECT_EQ(got[1], kThread + "four");
}

TEST_F(LogFile, OverlongFileNameCutsOnlyThePrefix) {
    std::string file(2000, 'f');
    {
        Log record(file.c_str(), 1, 7);
        record << "text";
    }
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 1u);
    // The prefix area holds 1023 characters, all of them taken by the name.
    EXPECT_EQ(got[0], std::string(1023, 'f') + "text");
}

TEST_F(LogFile, FlushInTheMiddleEmitsTwiceWithOnePrefix) {
    {
        Log record(nullptr, 0, 4);
        record << "first" << std::flush << "second";
    }
    {
        Log record(nullptr, 0, 4);
        record << "one" << std::endl << "two";
    }
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 4u);
    ASSERT_TRUE(strip_time(got[0]));
    EXPECT_EQ(got[0], kThread + "first");
    EXPECT_EQ(got[1], "second");
    ASSERT_TRUE(strip_time(got[2]));
    EXPECT_EQ(got[2], kThread + "one");
    EXPECT_EQ(got[3], "two");
}

TEST_F(LogFile, OverlongRecordIsCutAndTheNextIsWhole) {
    ZEM_LOG(4, std::string(5000, 'a') << "tail");
    ZEM_LOG(4, "next");
    std::string text = content();
    std::vector<std::string> got = split_lines(text);
    ASSERT_EQ(got.size(), 2u);
    // 4095 characters were stored; the last of them became the line feed.
    EXPECT_EQ(got[0].size() + 1, 4095u);
    EXPECT_EQ(got[0].find("tail"), std::string::npos);
    ASSERT_TRUE(strip_time(got[1]));
    EXPECT_EQ(got[1], kThread + "next");
}

TEST_F(LogFile, RecordFillingTheBufferExactly) {
    std::size_t const prefix = 26 + kThread.size();
    // 4094 characters: the line feed still fits behind them.
    ZEM_LOG(4, std::string(4094 - prefix, 'b'));
    // 4095 characters ending with a line feed: kept as they are.
    ZEM_LOG(4, std::string(4094 - prefix, 'c') << '\n');
    // 4095 characters without a line feed: the last one gives way to it.
    ZEM_LOG(4, std::string(4094 - prefix, 'd') << 'e');
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 3u);
    for (std::string &line : got) {
        EXPECT_EQ(line.size(), 4094u);
        ASSERT_TRUE(strip_time(line));
        line.erase(0, kThread.size());
    }
    EXPECT_EQ(got[0], std::string(4094 - prefix, 'b'));
    EXPECT_EQ(got[1], std::string(4094 - prefix, 'c'));
    EXPECT_EQ(got[2], std::string(4094 - prefix, 'd'));
}

TEST_F(LogFile, OpenAppendsToAnExistingFile) {
    std::wstring other = folder_.file(L"other.log");
    ASSERT_TRUE(write_file(other, "old\n"));
    ASSERT_TRUE(Log(nullptr, 0, 8).open(narrow(other).c_str()));
    ZEM_LOG(4, "new");
    std::vector<std::string> got = split_lines(read_file(other));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "old");
    ASSERT_TRUE(strip_time(got[1]));
    EXPECT_EQ(got[1], kThread + "new");
    EXPECT_EQ(content(), ""); // the first file was closed
    // open does not change the name resolved at load.
    EXPECT_TRUE(Log(nullptr, 0, 8).filename().empty());
}

TEST_F(LogFile, UnopenableFileLeavesNoFileSink) {
    std::string missing = folder_.narrow_file("no such folder\\x.log");
    EXPECT_FALSE(Log(nullptr, 0, 8).open(missing.c_str()));
    EXPECT_FALSE(Log::can(0));
    ZEM_LOG(0, "lost");
    EXPECT_EQ(content(), "");
    EXPECT_FALSE(Log(nullptr, 0, 8).open(nullptr));
    EXPECT_FALSE(Log::can(0));
}

TEST_F(LogFile, ConsoleSinkWritesToStandardOutput) {
    std::ostringstream captured;
    std::streambuf *saved = std::cout.rdbuf(captured.rdbuf());
    Log(nullptr, 0, 8).open(nullptr);
    EXPECT_FALSE(Log::can(4));
    Log(nullptr, 0, 8).console(true);
    EXPECT_TRUE(Log::can(4));
    ZEM_LOG(4, "to console");
    Log(nullptr, 0, 8).console(false);
    EXPECT_FALSE(Log::can(4));
    ZEM_LOG(4, "nowhere");
    std::cout.rdbuf(saved);
    std::string text = captured.str();
    ASSERT_TRUE(strip_time(text)) << text;
    EXPECT_EQ(text, kThread + "to console\n");
}

TEST_F(LogFile, LastErrorIsKept) {
    SetLastError(1234);
    ZEM_LOG(4, "error " << GetLastError() << std::flush << " and " << GetLastError());
    EXPECT_EQ(GetLastError(), 1234u);
    SetLastError(87);
    EXPECT_TRUE(zem::vfs::can_thread_log());
    zem::vfs::disable_thread_log();
    zem::vfs::enable_thread_log();
    EXPECT_EQ(GetLastError(), 87u);
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);
    ASSERT_TRUE(strip_time(got[0]));
    EXPECT_EQ(got[0], kThread + "error 1234");
    EXPECT_EQ(got[1], " and 1234");
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

TEST_F(LogFile, RecordsOfThreadsNeverInterleave) {
    const int threads = 4;
    const int records = 250;
    std::string const payload(300, 'x');
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &payload] {
            for (int i = 0; i < records; ++i) {
                // Three emissions per record, all inside one lock.
                ZEM_LOG(4, "T" << t << " #" << i << std::endl
                               << payload << std::flush << "end T" << t);
            }
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), std::size_t(threads * records * 3));
    std::vector<int> next(threads, 0);
    for (std::size_t i = 0; i < got.size(); i += 3) {
        std::string head = got[i];
        ASSERT_TRUE(strip_time(head)) << head;
        std::size_t at = head.find("] T");
        ASSERT_NE(at, std::string::npos) << head;
        int t = -1;
        int n = -1;
        ASSERT_EQ(std::sscanf(head.c_str() + at, "] T%d #%d", &t, &n), 2) << head;
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_EQ(n, next[t]++);
        EXPECT_EQ(got[i + 1], payload);
        EXPECT_EQ(got[i + 2], "end T" + std::to_string(t));
    }
}

TEST_F(LogFile, SuppressionIsCountedPerThread) {
    using zem::vfs::can_thread_log;
    using zem::vfs::disable_thread_log;
    using zem::vfs::enable_thread_log;
    disable_thread_log();
    disable_thread_log();
    EXPECT_FALSE(can_thread_log());
    ZEM_LOG(0, "suppressed");
    bool other_can = false;
    std::thread other([&] {
        other_can = can_thread_log();
        ZEM_LOG(0, "other thread");
    });
    other.join();
    EXPECT_TRUE(other_can);
    enable_thread_log();
    EXPECT_FALSE(can_thread_log());
    enable_thread_log();
    EXPECT_TRUE(can_thread_log());
    // An unmatched enable does not wrap the counter around.
    enable_thread_log();
    EXPECT_TRUE(can_thread_log());
    disable_thread_log();
    EXPECT_FALSE(can_thread_log());
    enable_thread_log();
    ZEM_LOG(0, "again");
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find("other thread"), std::string::npos);
    EXPECT_NE(got[1].find("again"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Printers
// ---------------------------------------------------------------------------

TEST(LogPrinters, DataTrunkOfTwentyBytes) {
    unsigned char bytes[20];
    for (int i = 0; i < 20; ++i)
        bytes[i] = static_cast<unsigned char>(0x41 + i);
    bytes[0] = 0x00;
    bytes[1] = 0x1f;
    bytes[2] = 0x20;
    bytes[3] = 0x7f;
    bytes[4] = 0x80;
    bytes[5] = 0x81;
    bytes[6] = 0xff;
    DataTrunk trunk = {bytes, 20};
    std::ostringstream os;
    os << &trunk;
    std::string expected = "DataTrunk Size: 20\n"
                           "0000 00 1f 20 7f 80 81 ff 48 49 4a 4b 4c 4d 4e 4f 50"
                           " . .   \x7f \x80 . . H I J K L M N O P\n"
                           "0010 51 52 53 54" +
                           std::string(12 * 3, ' ') + " Q R S T\n";
    EXPECT_EQ(os.str(), expected);
    // Left in hexadecimal with fill "0".
    os.str("");
    os << std::setw(4) << 255;
    EXPECT_EQ(os.str(), "00ff");
}

TEST(LogPrinters, DataTrunkSizesAndNulls) {
    std::ostringstream os;
    DataTrunk empty = {"x", 0};
    os << &empty;
    EXPECT_EQ(os.str(), "DataTrunk Size: 0");
    os.str("");
    os << static_cast<DataTrunk const *>(nullptr);
    EXPECT_EQ(os.str(), "<null>");
    // A chunk claiming bytes without a data pointer is not read.
    os.str("");
    DataTrunk hollow = {nullptr, 16};
    os << &hollow;
    EXPECT_EQ(os.str(), "DataTrunk Size: 16");

    // Exactly one line, with no short line after it.
    std::string sixteen(16, 'a');
    DataTrunk one = {sixteen.data(), 16};
    os.str("");
    os << &one;
    std::string line = "0000";
    for (int i = 0; i < 16; ++i)
        line += " 61";
    for (int i = 0; i < 16; ++i)
        line += " a";
    EXPECT_EQ(os.str(), "DataTrunk Size: 16\n" + line + "\n");
    // At most the first 64 bytes of a large chunk.
    std::vector<unsigned char> big(100000, 'z');
    DataTrunk large = {big.data(), big.size()};
    os.str("");
    os << std::dec << &large;
    std::vector<std::string> got = split_lines(os.str());
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "DataTrunk Size: 100000");
    EXPECT_EQ(got[4].substr(0, 4), "0030");
    // The size is decimal even on a stream left in hexadecimal.
    os.str("");
    os << std::hex << &empty;
    EXPECT_EQ(os.str(), "DataTrunk Size: 0");
}

TEST(LogPrinters, FileTimeAsLocalTime) {
    SYSTEMTIME local = {};
    local.wYear = 2021;
    local.wMonth = 3;
    local.wDay = 4;
    local.wHour = 5;
    local.wMinute = 6;
    local.wSecond = 7;
    local.wMilliseconds = 89;
    FILETIME local_time;
    FILETIME utc;
    ASSERT_TRUE(SystemTimeToFileTime(&local, &local_time));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local_time, &utc));
    std::ostringstream os;
    os << &utc;
    EXPECT_EQ(os.str(), "2021-03-04 05:06:07.089");

    os.str("");
    os << static_cast<FILETIME const *>(nullptr);
    EXPECT_EQ(os.str(), "<null>");

    // Beyond what the calendar conversion takes: the raw value in hex.
    FILETIME huge = {0x00000001, 0x80000000};
    os.str("");
    os << &huge;
    EXPECT_EQ(os.str(), "<8000000000000001>");
    os.str("");
    os << 26;
    EXPECT_EQ(os.str(), "1a");
}

TEST_F(LogFile, DataTrunkInsideARecord) {
    DataTrunk trunk = {"0123456789", 10};
    ZEM_LOG(4, "frame " << &trunk);
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);
    ASSERT_TRUE(strip_time(got[0]));
    EXPECT_EQ(got[0], kThread + "frame DataTrunk Size: 10");
    EXPECT_EQ(got[1].substr(0, 7), "0000 30");
}

// ---------------------------------------------------------------------------
// "LogFile" patterns
// ---------------------------------------------------------------------------

namespace {

SYSTEMTIME sample_time() {
    SYSTEMTIME t = {};
    t.wYear = 2024;
    t.wMonth = 2;
    t.wDay = 9;
    t.wHour = 7;
    t.wMinute = 5;
    t.wSecond = 3;
    return t;
}

std::string expand(std::string const &pattern, char const *image = "C:\\Apps\\app.v2.exe",
                   unsigned long pid = 1234) {
    std::string name = "<stale>";
    if (!zem::vfs::detail::expand_log_file_name(pattern, pid, image, sample_time(), name))
        return "<refused:" + name + ">";
    return name;
}

} // namespace

TEST(LogFilePattern, TokensAreReplacedEverywhere) {
    EXPECT_EQ(expand("%D\\%N_%p.log"), "C:\\Apps\\app.v2_1234.log");
    EXPECT_EQ(expand("%p-%p %N%N"), "1234-1234 app.v2app.v2");
    EXPECT_EQ(expand("%Y%M%d-%H%m%s"), "20240209-070503");
    EXPECT_EQ(expand("plain.log"), "plain.log");
    EXPECT_EQ(expand("%x %% %P %y"), "%x %% %P %y");
    // Forward slashes separate too; no separator gives an empty directory;
    // no dot keeps the whole name.
    EXPECT_EQ(expand("[%D][%N]", "C:/tools/run"), "[C:/tools][run]");
    EXPECT_EQ(expand("[%D][%N]", "app.exe"), "[][app]");
    // Without an image path %D and %N stay.
    EXPECT_EQ(expand("%D\\%N_%p", nullptr), "%D\\%N_1234");
}

TEST(LogFilePattern, InsertedTextIsScannedByLaterTokensOnly) {
    // A name holding "%N" is not expanded again by %N ...
    EXPECT_EQ(expand("%N", "C:\\dir\\x%Ny.exe"), "x%Ny");
    // ... but the directory inserted by %D is scanned by %N and the time.
    EXPECT_EQ(expand("%D", "C:\\%N_%Y\\app.exe"), "C:\\app_2024");
    // %d (day) sees the text %D and %p inserted.
    EXPECT_EQ(expand("%D", "C:\\%d\\app.exe"), "C:\\09");
}

TEST(LogFilePattern, CounterTakesTheFirstFreeName) {
    TempFolder folder(L"zem_pattern");
    std::string const base = folder.narrow_path();
    ASSERT_TRUE(write_file(folder.file(L"app_1234_0.log"), ""));
    ASSERT_TRUE(write_file(folder.file(L"app_1234_1.log"), ""));
    EXPECT_EQ(expand(base + "\\%N_%p_%i.log", "C:\\x\\app.exe"), base + "\\app_1234_2.log");
    // Every "%i" takes the same counter.
    ASSERT_TRUE(write_file(folder.file(L"c0-0"), ""));
    EXPECT_EQ(expand(base + "\\c%i-%i"), base + "\\c1-1");
    // The search runs before the date: it tests the name with "%Y" in it.
    ASSERT_TRUE(write_file(folder.file(L"d_0_%Y.log"), ""));
    EXPECT_EQ(expand(base + "\\d_%i_%Y.log"), base + "\\d_1_2024.log");
}

TEST(LogFilePattern, CounterThatVanishesFromThePathEndsTheSearch) {
    TempFolder folder(L"zem_pattern");
    std::string const base = folder.narrow_path();
    ASSERT_TRUE(write_file(folder.file(L"x.log"), ""));
    // Every candidate names x.log, which exists: the search would not end.
    EXPECT_EQ(expand(base + "\\%i\\..\\x.log"), base + "\\0\\..\\x.log");
    EXPECT_EQ(expand(base + "\\%i\\..\\%i\\..\\x.log"), base + "\\0\\..\\0\\..\\x.log");
}

TEST(LogFilePattern, HostilePatternsAreRefusedNotTruncated) {
    using zem::vfs::detail::max_log_file_name;
    std::string tokens;
    for (int i = 0; i < 100000; ++i)
        tokens += "%D%N%p%i%Y";
    EXPECT_EQ(expand(tokens), "<refused:>");
    EXPECT_EQ(expand(std::string(max_log_file_name + 1, 'a')), "<refused:>");
    EXPECT_EQ(expand(std::string(max_log_file_name, 'a')), std::string(max_log_file_name, 'a'));
    // Growth past the limit by one replacement.
    std::string grows(max_log_file_name - 10, 'a');
    EXPECT_EQ(expand(grows + "%p%p%p"), "<refused:>");
    EXPECT_EQ(expand(grows + "%p%p"), grows + "12341234");
    // A long name with a counter: no file by that name exists, 0 is taken.
    std::string counted = "C:\\" + std::string(5000, 'n') + "%i";
    EXPECT_EQ(expand(counted), "C:\\" + std::string(5000, 'n') + "0");
}
