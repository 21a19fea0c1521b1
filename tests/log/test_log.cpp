// The logger inside the test process (started without logger settings):
// records in a log file, the console sink, thresholds and level names,
// threads, last error, suppression, the printers and the "LogFile" rules.
#include "../../common/log/Log.h"
#include "../../common/log/internal/Logger.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using zem::vfs::DataTrunk;
using zem::vfs::Log;
using namespace zem::vfs::test;

namespace {

std::vector<std::string> split_lines(std::string const &text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end = 0; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        lines.push_back(end == std::string::npos ? text.substr(at) + "<no line feed>"
                                                 : text.substr(at, end - at));
    }
    return lines;
}

// "[tid] " for this thread: its id with at least four digits.
std::string thread_tag() {
    char tag[32];
    std::snprintf(tag, sizeof tag, "[%04lu] ", GetCurrentThreadId());
    return tag;
}

// Removes "[YYYY-MM-DD hh:mm:ss.mmm] [tid] " from the front of `line`; false
// when it is not there.
bool strip_prefix(std::string &line) {
    static char const shape[] = "[dddd-dd-dd dd:dd:dd.ddd] ";
    std::size_t const length = sizeof shape - 1;
    std::string const thread = thread_tag();
    if (line.size() < length || line.compare(length, thread.size(), thread) != 0)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i]))
                            : line[i] != shape[i])
            return false;
    }
    line.erase(0, length + thread.size());
    return true;
}

// Settings go through short bare records: a Log object holds the lock.
Log settings() {
    return Log(nullptr, 0, 8);
}

// Records go to a fresh file; every setting is put back afterwards.
class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        ASSERT_TRUE(Log(nullptr, 0, 8).open(narrow(path_).c_str()));
    }
    void TearDown() override {
        Log s(nullptr, 0, 8);
        s.open(nullptr);
        s.level(4);
        s.console(false);
    }
    std::vector<std::string> lines() const { return split_lines(read_file(path_)); }

    TempFolder folder_{L"zem_log"};
    std::wstring path_ = folder_.file(L"records.log");
};

int g_formatted = 0;
int formatted() {
    return ++g_formatted;
}

} // namespace

TEST(LogDefaults, WithoutSettingsNothingCanBeWritten) {
    EXPECT_TRUE(Log(nullptr, 0, 8).filename().empty());
    for (int n = -1; n <= 8; ++n)
        EXPECT_FALSE(Log::can(n)) << n;
    EXPECT_TRUE(zem::vfs::can_thread_log());
}

TEST_F(LogFile, ThresholdAndLevelNames) {
    EXPECT_TRUE(Log::can(4));
    EXPECT_TRUE(Log::can(-3)); // a signed comparison
    EXPECT_FALSE(Log::can(5));
    Log s(nullptr, 0, 8);
    for (int refused : {8, -1, INT_MIN})
        EXPECT_FALSE(s.level(refused));
    EXPECT_FALSE(Log::can(5));
    EXPECT_TRUE(s.level(0));
    EXPECT_TRUE(Log::can(0));
    EXPECT_FALSE(Log::can(1));
    EXPECT_TRUE(s.level("Crit"));
    for (char const *refused : {"8", "-1", "7x", "", " ", "debug ", "0x7", "warning",
                                "99999999999999999999", static_cast<char const *>(nullptr)})
        EXPECT_FALSE(s.level(refused)) << (refused ? refused : "<null>");
    EXPECT_TRUE(Log::can(2));
    EXPECT_FALSE(Log::can(3));
    EXPECT_TRUE(s.level(" +6"));
    EXPECT_FALSE(Log::can(7));
    char const *names[] = {"emerge", "ALERT", "Crit", "error", "wArN", "notice", "INFO", "debug"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(zem::vfs::detail::parse_log_level(names[i]), i);
        EXPECT_TRUE(s.level(names[i]));
        EXPECT_TRUE(Log::can(i));
        EXPECT_FALSE(Log::can(i + 1)) << names[i];
    }
}

TEST_F(LogFile, DisabledStatementFormatsNothing) {
    g_formatted = 0;
    ZEM_LOG(5, "value " << formatted());
    zem::vfs::disable_thread_log();
    ZEM_LOG(3, "value " << formatted());
    zem::vfs::enable_thread_log();
    EXPECT_EQ(g_formatted, 0);
    ZEM_LOG(3, "value " << formatted());
    EXPECT_EQ(g_formatted, 1);
    EXPECT_EQ(lines().size(), 1u);
}

TEST_F(LogFile, RecordLayouts) {
    ZEM_LOG(4, "pipe "
                   << "p1"
                   << " failed: " << 231);
    ZEM_LOG(4, "done\n");        // no second line feed
    { Log bare(nullptr, 0, 8); } // a record without text emits nothing
    {
        Log bare("file.cpp", 3, 15); // bare, and written whatever the threshold
        bare << "raw " << 15;
    }
    {
        Log debug("a.cpp", 12, 7);
        debug << "seven";
    }
    {
        Log warn("a.cpp", 12, 4); // the file part is only for level 7
        warn << "four";
    }
    {
        Log debug(std::string(2000, 'f').c_str(), 1, 7); // fills the prefix area
        debug << "text";
    }
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 6u);
    EXPECT_TRUE(strip_prefix(got[0]) && got[0] == "pipe p1 failed: 231") << got[0];
    EXPECT_TRUE(strip_prefix(got[1]) && got[1] == "done") << got[1];
    EXPECT_EQ(got[2], "raw 15");
    EXPECT_EQ(got[3].compare(0, 11, "a.cpp(12): "), 0) << got[3];
    got[3].erase(0, 11);
    EXPECT_TRUE(strip_prefix(got[3]) && got[3] == "seven") << got[3];
    EXPECT_TRUE(strip_prefix(got[4]) && got[4] == "four") << got[4];
    EXPECT_EQ(got[5], std::string(1023, 'f') + "text");
}

TEST_F(LogFile, FlushInTheMiddleEmitsTwiceWithOnePrefix) {
    ZEM_LOG(4, "first" << std::flush << "second");
    ZEM_LOG(4, "one" << std::endl << "two");
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(strip_prefix(got[0]) && got[0] == "first") << got[0];
    EXPECT_EQ(got[1], "second");
    EXPECT_TRUE(strip_prefix(got[2]) && got[2] == "one") << got[2];
    EXPECT_EQ(got[3], "two");
}

TEST_F(LogFile, OverlongRecordIsCutAndTheNextIsWhole) {
    std::size_t const text = 4094 - 26 - thread_tag().size(); // 4094 with the prefix
    ZEM_LOG(4, std::string(5000, 'a') << "tail");
    ZEM_LOG(4, std::string(text, 'b'));         // the line feed fits behind
    ZEM_LOG(4, std::string(text, 'c') << '\n'); // exactly full, kept as it is
    ZEM_LOG(4, std::string(text, 'd') << 'e');  // the last one makes way for the line feed
    ZEM_LOG(4, "next");
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].size(), 4094u);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(got[i].size(), 4094u);
        EXPECT_TRUE(strip_prefix(got[i]));
        EXPECT_EQ(got[i], std::string(text, "bcd"[i - 1]));
    }
    EXPECT_TRUE(strip_prefix(got[4]) && got[4] == "next") << got[4];
}

TEST_F(LogFile, OpenAppendsAndAFailedOpenLeavesNoFile) {
    std::wstring const other = folder_.file(L"other.log");
    ASSERT_TRUE(write_file(other, "old\n"));
    ASSERT_TRUE(settings().open(narrow(other).c_str()));
    ZEM_LOG(4, "new");
    std::vector<std::string> got = split_lines(read_file(other));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "old");
    EXPECT_TRUE(strip_prefix(got[1]) && got[1] == "new");
    EXPECT_TRUE(lines().empty());               // the first file was closed
    EXPECT_TRUE(settings().filename().empty()); // open keeps the load-time name

    EXPECT_FALSE(settings().open(folder_.narrow_file("no folder\\x.log").c_str()));
    EXPECT_FALSE(Log::can(0));
    ZEM_LOG(0, "lost");
    EXPECT_EQ(split_lines(read_file(other)).size(), 2u);
}

TEST_F(LogFile, ConsoleSink) {
    std::ostringstream captured;
    std::streambuf *saved = std::cout.rdbuf(captured.rdbuf());
    settings().open(nullptr);
    settings().console(true);
    EXPECT_TRUE(Log::can(4));
    ZEM_LOG(4, "to console");
    settings().console(false);
    EXPECT_FALSE(Log::can(4));
    std::cout.rdbuf(saved);
    std::string text = captured.str();
    EXPECT_TRUE(strip_prefix(text) && text == "to console\n") << text;
}

TEST_F(LogFile, LastErrorIsKept) {
    SetLastError(1234);
    ZEM_LOG(4, "error " << GetLastError() << std::flush << " and " << GetLastError());
    EXPECT_EQ(GetLastError(), 1234u);
    zem::vfs::disable_thread_log();
    zem::vfs::can_thread_log();
    zem::vfs::enable_thread_log();
    EXPECT_EQ(GetLastError(), 1234u);
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(strip_prefix(got[0]) && got[0] == "error 1234") << got[0];
    EXPECT_EQ(got[1], " and 1234");
}

TEST_F(LogFile, RecordsOfThreadsNeverInterleave) {
    const int threads = 4, records = 250;
    std::string const payload(300, 'x');
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &payload] {
            for (int i = 0; i < records; ++i) // three emissions inside one lock
                ZEM_LOG(4, "T" << t << " #" << i << std::endl
                               << payload << std::flush << "end T" << t);
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), std::size_t(threads * records * 3));
    std::vector<int> next(threads, 0);
    for (std::size_t i = 0; i < got.size(); i += 3) {
        int t = -1, n = -1;
        std::size_t at = got[i].find("] T");
        ASSERT_NE(at, std::string::npos) << got[i];
        ASSERT_EQ(std::sscanf(got[i].c_str() + at, "] T%d #%d", &t, &n), 2) << got[i];
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_EQ(n, next[t]++);
        EXPECT_EQ(got[i + 1], payload);
        EXPECT_EQ(got[i + 2], "end T" + std::to_string(t));
    }
}

TEST_F(LogFile, SuppressionIsCountedPerThread) {
    using namespace zem::vfs;
    disable_thread_log();
    disable_thread_log();
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
    enable_thread_log(); // unmatched: the counter does not wrap around
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

TEST(LogPrinters, DataTrunk) {
    unsigned char bytes[20] = {0x00, 0x1f, 0x20, 0x7f, 0x80, 0x81, 0xff};
    for (int i = 7; i < 20; ++i)
        bytes[i] = static_cast<unsigned char>(0x41 + i);
    DataTrunk trunk = {bytes, 20};
    std::ostringstream os;
    os << std::hex << &trunk; // the size is decimal all the same
    EXPECT_EQ(os.str(), "DataTrunk Size: 20\n"
                        "0000 00 1f 20 7f 80 81 ff 48 49 4a 4b 4c 4d 4e 4f 50"
                        " . .   \x7f \x80 . . H I J K L M N O P\n"
                        "0010 51 52 53 54" +
                            std::string(12 * 3, ' ') + " Q R S T\n");
    os.str("");
    os << std::setw(4) << 255; // left in hex with fill "0"
    EXPECT_EQ(os.str(), "00ff");

    DataTrunk empty = {"x", 0}, hollow = {nullptr, 16};
    std::string sixteen(16, 'a'), big(100000, 'z');
    DataTrunk one = {sixteen.data(), 16}, large = {big.data(), big.size()};
    std::string line = "0000";
    for (int i = 0; i < 32; ++i)
        line += i < 16 ? " 61" : " a";
    struct Case {
        DataTrunk const *trunk;
        std::string expected;
    } const cases[] = {
        {&empty, "DataTrunk Size: 0"},
        {nullptr, "<null>"},
        {&hollow, "DataTrunk Size: 16"}, // no data pointer: nothing is read
        {&one, "DataTrunk Size: 16\n" + line + "\n"},
    };
    for (Case const &c : cases) {
        os.str("");
        os << c.trunk;
        EXPECT_EQ(os.str(), c.expected);
    }
    os.str("");
    os << &large; // at most 64 bytes
    std::vector<std::string> got = split_lines(os.str());
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "DataTrunk Size: 100000");
    EXPECT_EQ(got[4].substr(0, 4), "0030");
}

TEST(LogPrinters, FileTime) {
    SYSTEMTIME local = {2021, 3, 0, 4, 5, 6, 7, 89};
    FILETIME local_time, utc;
    ASSERT_TRUE(SystemTimeToFileTime(&local, &local_time));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local_time, &utc));
    std::ostringstream os;
    os << &utc;
    EXPECT_EQ(os.str(), "2021-03-04 05:06:07.089");
    os.str("");
    os << static_cast<FILETIME const *>(nullptr);
    EXPECT_EQ(os.str(), "<null>");
    FILETIME huge = {0x00000001, 0x80000000}; // beyond the calendar conversion
    os.str("");
    os << &huge << ' ' << 26;
    EXPECT_EQ(os.str(), "<8000000000000001> 1a");
}

// ---------------------------------------------------------------------------
// "LogFile" patterns
// ---------------------------------------------------------------------------

namespace {

std::string expand(std::string const &pattern, char const *image = "C:\\Apps\\app.v2.exe") {
    SYSTEMTIME const t = {2024, 2, 0, 9, 7, 5, 3, 0};
    std::string name = "<stale>";
    if (!zem::vfs::detail::expand_log_file_name(pattern, 1234, image, t, name))
        return "<refused:" + name + ">";
    return name;
}

} // namespace

TEST(LogFilePattern, Tokens) {
    EXPECT_EQ(expand("%D\\%N_%p.log"), "C:\\Apps\\app.v2_1234.log");
    EXPECT_EQ(expand("%p-%p %N%N"), "1234-1234 app.v2app.v2");
    EXPECT_EQ(expand("%Y%M%d-%H%m%s"), "20240209-070503");
    EXPECT_EQ(expand("%x %% %P %y"), "%x %% %P %y");
    EXPECT_EQ(expand("[%D][%N]", "C:/tools/run"), "[C:/tools][run]");
    EXPECT_EQ(expand("[%D][%N]", "app.exe"), "[][app]");
    EXPECT_EQ(expand("%D\\%N_%p", nullptr), "%D\\%N_1234"); // no image path
    // Inserted text is not scanned again by its own token, but by later ones.
    EXPECT_EQ(expand("%N", "C:\\dir\\x%Ny.exe"), "x%Ny");
    EXPECT_EQ(expand("%D", "C:\\%N_%Y\\app.exe"), "C:\\app_2024");
    EXPECT_EQ(expand("%D", "C:\\%d\\app.exe"), "C:\\09");
}

TEST(LogFilePattern, CounterSearch) {
    TempFolder folder(L"zem_pattern");
    std::string const base = narrow(folder.path());
    for (wchar_t const *name :
         {L"app_1234_0.log", L"app_1234_1.log", L"c0-0", L"d_0_%Y.log", L"x.log"})
        ASSERT_TRUE(write_file(folder.file(name), ""));
    EXPECT_EQ(expand(base + "\\%N_%p_%i.log", "C:\\x\\app.exe"), base + "\\app_1234_2.log");
    EXPECT_EQ(expand(base + "\\c%i-%i"), base + "\\c1-1"); // one counter for all
    // The search tests the name before the date tokens are replaced.
    EXPECT_EQ(expand(base + "\\d_%i_%Y.log"), base + "\\d_1_2024.log");
    // A counter the path normalisation removes names x.log every time: the
    // search would never end, the first name is taken.
    EXPECT_EQ(expand(base + "\\%i\\..\\x.log"), base + "\\0\\..\\x.log");
    // No file of an overlong name exists.
    EXPECT_EQ(expand("C:\\" + std::string(5000, 'n') + "%i"),
              "C:\\" + std::string(5000, 'n') + "0");
}

TEST(LogFilePattern, HostilePatternsAreRefusedNotTruncated) {
    std::size_t const max = zem::vfs::detail::max_log_file_name;
    std::string tokens;
    for (int i = 0; i < 100000; ++i)
        tokens += "%D%N%p%i%Y";
    EXPECT_EQ(expand(tokens), "<refused:>");
    EXPECT_EQ(expand(std::string(max + 1, 'a')), "<refused:>");
    EXPECT_EQ(expand(std::string(max, 'a')), std::string(max, 'a'));
    std::string const grows(max - 10, 'a');
    EXPECT_EQ(expand(grows + "%p%p%p"), "<refused:>");
    EXPECT_EQ(expand(grows + "%p%p"), grows + "12341234");
}
