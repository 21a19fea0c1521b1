#include "../../common/log/Log.h"
#include "../../common/log/internal/Logger.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <iomanip>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

class LogFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Log(nullptr, 0, 8).open(file_.c_str())); }
    void TearDown() override { Log(nullptr, 0, 8).open(nullptr), Log(nullptr, 0, 8).level(4); }
    TempFolder folder_{L"zem_log"};
    std::string file_ = folder_.narrow_file("records.log"), other_ = folder_.narrow_file("o.log");
};

int g_formatted = 0;

} // namespace

TEST_F(LogFile, Thresholds) {
    EXPECT_TRUE(Log::can(-3)); // a signed comparison
    Log s(nullptr, 0, 8);
    EXPECT_FALSE(s.level(static_cast<char const *>(nullptr)));
    // clang-format off
    struct Case { char const *name; int number; bool accepted; int threshold; } const cases[] = {
        {nullptr, 8, false, 4}, {nullptr, -1, false, 4}, {nullptr, INT_MIN, false, 4}, {nullptr, 0, true, 0}, {"Crit", 0, true, 2},
        {"8", 0, false, 2}, {"-1", 0, false, 2}, {"7x", 0, false, 2}, {"", 0, false, 2}, {" ", 0, false, 2},
        {"debug ", 0, false, 2}, {"0x7", 0, false, 2}, {"warning", 0, false, 2}, {"99999999999999999999", 0, false, 2},
        {" +6", 0, true, 6}, {"emerge", 0, true, 0}, {"ALERT", 0, true, 1}, {"error", 0, true, 3}, {"wArN", 0, true, 4},
        {"notice", 0, true, 5}, {"INFO", 0, true, 6}, {"debug", 0, true, 7}};
    // clang-format on
    for (auto const &c : cases) {
        SCOPED_TRACE(c.name ? c.name : std::to_string(c.number));
        EXPECT_EQ(c.name ? s.level(c.name) : s.level(c.number), c.accepted);
        EXPECT_TRUE(Log::can(c.threshold) && !Log::can(c.threshold + 1));
    }
}

TEST_F(LogFile, Records) {
    std::string const a(4094 - 24 - 9 - (GetCurrentThreadId() > 9999), 'a'); // a full record
    ZEM_LOG(5, "disabled " << ++g_formatted);
    disable_thread_log(), disable_thread_log();
    ZEM_LOG(3, "suppressed " << ++g_formatted);
    std::thread([] { ZEM_LOG(0, "other " << can_thread_log()); }).join();
    enable_thread_log();
    ZEM_LOG(3, "suppressed " << ++g_formatted);
    enable_thread_log(), enable_thread_log(); // the second unmatched: the counter does not wrap
    EXPECT_EQ(g_formatted, 0);
    ZEM_LOG(4, "pipe " << 'p' << 1 << " failed: " << 231);
    ZEM_LOG(4, "done\n");
    { Log bare(nullptr, 0, 8); }
    Log("file.cpp", 3, 15) << "raw " << 15;
    Log("a.cpp", 12, 7) << "seven";
    Log("a.cpp", 12, 4) << "four";
    Log(std::string(2000, 'f').c_str(), 1, 7) << "text"; // fills the 1024-byte prefix area
    Log(std::string(1000, 'g').c_str(), 1, 7) << "text"; // cuts the time stamp
    ZEM_LOG(4, "first" << std::flush << "second" << std::endl << "third");
    SetLastError(1234);
    ZEM_LOG(4, "error " << GetLastError() << std::flush << " and " << GetLastError());
    EXPECT_EQ(GetLastError(), 1234u);
    ZEM_LOG(4, a << "tail"); // cut
    ZEM_LOG(4, a);           // the line feed fits behind
    ZEM_LOG(4, a << '\n');   // exactly full
    ZEM_LOG(4, a << 'e');    // the last character makes way for the line feed
    // The lines, this thread's "[YYYY-MM-DD hh:mm:ss.mmm] [tid] " as "@".
    std::regex const prefix("\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[0*" +
                            std::to_string(GetCurrentThreadId()) + "\\] ");
    std::istringstream in(std::regex_replace(read_file(widen(file_)), prefix, "@"));
    std::vector<std::string> got;
    for (std::string line; std::getline(in, line);)
        got.push_back(line);
    ASSERT_EQ(got.size(), 17u);
    EXPECT_EQ(got[7].substr(0, 1006) + "|" + got[7].substr(1023),
              std::string(1000, 'g') + "(1): [|text");
    got.erase(got.begin() + 7);
    EXPECT_TRUE(std::regex_match(got[0], std::regex("\\[.{23}\\] \\[\\d{4,}\\] other 1")));
    EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.end()),
              (std::vector<std::string>{
                  "@pipe p1 failed: 231", "@done", "raw 15", "a.cpp(12): @seven", "@four",
                  std::string(1023, 'f') + "text", "@first", "second", "third", "@error 1234",
                  " and 1234", "@" + a, "@" + a, "@" + a, "@" + a}));
    // A file that cannot be opened leaves no sink.
    EXPECT_FALSE(Log(nullptr, 0, 8).open(folder_.narrow_file("none\\x.log").c_str()));
    EXPECT_FALSE(Log::can(0));
}

// Records of four threads land whole while another thread switches files.
TEST_F(LogFile, RecordsOfThreadsWhileFilesSwitch) {
    std::atomic<bool> writing{true};
    std::thread switcher([&] {
        for (int i = 0; writing; ++i)
            Log(nullptr, 0, 8).open((i % 2 ? file_ : other_).c_str());
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            for (int k = t * 400; k < t * 400 + 400; ++k)
                ZEM_LOG(4, k << std::endl << "middle" << std::flush << k);
        });
    for (std::thread &writer : writers)
        writer.join();
    writing = false;
    switcher.join();
    std::string const text = read_file(widen(file_)) + read_file(widen(other_));
    int whole = 0;
    for (int k = 0; k < 1600; ++k)
        whole += text.find("] " + std::to_string(k) + "\nmiddle\n" + std::to_string(k) + "\n") !=
                 std::string::npos;
    EXPECT_EQ(whole, 1600);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3 * 1600); // and nothing twice
}

TEST(Log, Printers) {
    std::string const bytes("\x00\x1f\x20\x7f\x80\x81\xffHIJKLMNOPQRST", 20), big(100, 'a');
    DataTrunk const full = {bytes.data(), 20}, empty = {"x", 0}, hollow = {nullptr, 16},
                    large = {big.data(), big.size()};
    SYSTEMTIME const local = {2021, 3, 0, 4, 5, 6, 7, 89};
    FILETIME local_time, utc, huge = {0x00000001, 0x80000000};
    SystemTimeToFileTime(&local, &local_time);
    LocalFileTimeToFileTime(&local_time, &utc);
    std::ostringstream os[3];
    os[0] << std::hex << &full << std::setw(4) << 255; // the size in decimal, left in hex
    os[1] << &empty << static_cast<DataTrunk const *>(nullptr) << &hollow << &large;
    os[2] << &utc << static_cast<FILETIME const *>(nullptr) << &huge << ' ' << 26;
    std::string const a16 =
        " 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 a a a a a a a a a a a a a a a a";
    EXPECT_EQ(os[0].str(), "DataTrunk Size: 20\n0000 00 1f 20 7f 80 81 ff 48 49 4a 4b 4c 4d 4e "
                           "4f 50 . .   \x7f \x80 . . H I J K L M N O P\n0010 51 52 53 54" +
                               std::string(36, ' ') + " Q R S T\n00ff");
    EXPECT_EQ(os[1].str(), "DataTrunk Size: 0<null>DataTrunk Size: 16DataTrunk Size: 100\n0000" +
                               a16 + "\n0010" + a16 + "\n0020" + a16 + "\n0030" + a16 + "\n");
    EXPECT_EQ(os[2].str(), "2021-03-04 05:06:07.089<null><8000000000000001> 1a");
}

TEST(Log, FileNamePatterns) {
    std::set<std::string> const files = {"app_1234_0.log", "app_1234_1.log", "c0-0",
                                         "d_0_%Y.log",     "0\\..\\x.log",   "1\\..\\x.log"};
    detail::LogFileProbes const probes = {
        [&](std::string const &name) { return files.count(name) != 0; },
        // "0\\..\\x.log" and "1\\..\\x.log" are one path
        [](std::string const &a, std::string const &) { return a == "0\\..\\x.log"; }};
    std::string const max(detail::max_log_file_name, 'a'), n5000(5000, 'n'), cut = max.substr(10);
    std::string const tokens =
        std::regex_replace(std::string(100000, '#'), std::regex("#"), "%D%N%p%i%Y");
    char const *const image = "C:\\Apps\\app.v2.exe";
    // clang-format off
    struct Case { std::string pattern; char const *image; std::string name; } const cases[] = {
        {"%D\\%N_%p.log", image, "C:\\Apps\\app.v2_1234.log"}, {"%Y%M%d-%H%m%s", image, "20240209-070503"},
        {"%p-%p %N%N", image, "1234-1234 app.v2app.v2"}, {"%x %% %P %y", image, "%x %% %P %y"},
        {"[%D][%N]", "C:/tools/run", "[C:/tools][run]"}, {"[%D][%N]", "app.exe", "[][app]"},
        {"%D\\%N_%p", nullptr, "%D\\%N_1234"}, {"%N", "C:\\dir\\x%Ny.exe", "x%Ny"}, // not scanned again,
        {"%D", "C:\\%N_%Y\\app.exe", "C:\\app_2024"}, // but by the later tokens
        {"%N_%p_%i.log", "C:\\x\\app.exe", "app_1234_2.log"}, {"c%i-%i", image, "c1-1"},
        {"d_%i_%Y.log", image, "d_1_2024.log"},  // the file test comes before the date
        {"%i\\..\\x.log", image, "0\\..\\x.log"}, // a search that would never end
        {"C:\\" + n5000 + "%i", image, "C:\\" + n5000 + "0"}, {max, image, max},
        {tokens, image, ""}, {max + "a", image, ""}, {cut + "%D%N", image, ""}, {cut + "%p%p%p", image, ""}, {cut + "%p%p", image, cut + "12341234"},
        {max.substr(4) + "%p", image, max.substr(4) + "1234"}}; // exactly the longest name
    // clang-format on
    for (auto const &c : cases) {
        SCOPED_TRACE(c.pattern.substr(0, 40));
        SYSTEMTIME const t = {2024, 2, 0, 9, 7, 5, 3, 0};
        std::string name = "<stale>";
        EXPECT_EQ(detail::expand_log_file_name(c.pattern, 1234, c.image, t, probes, name),
                  !c.name.empty());
        EXPECT_EQ(name, c.name);
    }
}

// A value is "<key o (own) or c (common)><name><= text or # DWORD><data>"; "@"
// is the folder of @app.exe, "%p" its id, "%P" and "%t" as a prefix shows them.
TEST(Log, RegistrySettings) {
    TempFolder folder(L"zem_logreg");
    std::string const d = narrow(folder.path()) + "\\", common = "Software\\Tavrin Labs\\Quillon",
                      own = common + "\\app";
    ASSERT_TRUE(write_file(widen(d + "x.log"), "old\n"));
    ASSERT_TRUE(copy_child(L"child_log", folder.path(), L"app.exe"));
    // clang-format off
    struct Case { std::vector<std::string> values; char const *level_can; std::string file, record; } const cases[] = {
        {{}, "4 00000000", "", ""},
        {{"oLogLevel=DEBUG", "cLogLevel=error", "oLogDebug=1"}, "7 11111111", "", ""},
        {{"oLogLevel=7x", "cLogLevel=error", "cLogDebug#1", "oLogDebug=0"}, "3 00000000", "", ""},
        {{"oLogLevel#4294967295", "cLogLevel=Notice", "oLogDebug=1x", "cLogDebug#1"}, "5 11111100", "", ""},
        {{"oLogLevel=", "cLogLevel=9", "cLogDebug#1"}, "4 11111000", "", ""},
        {{"cLogFile=@common.log", "oLogFile="}, "4 00000000", "", ""},
        {{"cLogFile=@common.log", "cLogPID#1"}, "4 11111000", "@common.log", "] [%P] [%t] child record\n"},
        {{"oLogFile=@none\\x.log"}, "4 00000000", "@none\\x.log", ""},
        {{"oLogFile=@pid.log", "cLogPID#1", "oLogPID=0"}, "4 11111000", "@pid.log", "] [%t] child record\n"},
        {{"oLogFile=%D\\%N_%p_%i.log"}, "4 11111000", "@app_%p_2.log", "] [%t] child record\n"},
        {{"oLogFile=@%i\\..\\x.log"}, "4 11111000", "@0\\..\\x.log", "] [%t] child record\n"}};
    // clang-format on
    for (auto const &c : cases) {
        SCOPED_TRACE(c.values.empty() ? "" : c.values.back().substr(0, 40));
        RegistryScope registry;
        for (std::string const &v : c.values) {
            std::size_t const at = v.find_first_of("=#", 1);
            std::string const key = v[0] == 'o' ? own : common, name = v.substr(1, at - 1),
                              data = std::regex_replace(v.substr(at + 1), std::regex("^@"), d);
            ASSERT_TRUE(v[at] == '='
                            ? registry.set(HKEY_LOCAL_MACHINE, key, name, data)
                            : registry.set(HKEY_LOCAL_MACHINE, key, name, DWORD(std::stoul(data))));
        }
        auto counters = [&](DWORD pid) {
            for (char const *i : {"_0.log", "_1.log"})
                write_file(widen(d + "app_" + std::to_string(pid) + i), "");
        };
        ChildResult const child =
            run_child(folder.file(L"app.exe"), counters, folder.path().c_str());
        ASSERT_TRUE(child.finished && child.exit_code == 0) << child.output;
        EXPECT_NE(child.output.find("] child on the console"), std::string::npos);
        EXPECT_EQ(child.value("level") + " " + child.value("can"), c.level_can);
        std::string const from[] = {"^@", "%p", "%P", "%t"},
                          to[] = {d, std::to_string(child.pid), child.value("pid"),
                                  child.value("tid")};
        auto fill = [&](std::string text) {
            for (int i = 0; i < 4; ++i)
                text = std::regex_replace(text, std::regex(from[i]), to[i]);
            return text;
        };
        std::string const file = fill(c.file), text = read_file(widen(file));
        EXPECT_EQ(_stricmp(child.value("filename").c_str(), file.c_str()), 0)
            << file << child.output;
        EXPECT_EQ(c.record.empty() ? "" : text.substr(text.rfind("\n[", text.size() - 2) + 25),
                  fill(c.record))
            << text;
    }
}

TEST(Log, LoadAndUnload) {
    TempFolder folder(L"zem_logdll");
    RegistryScope registry;
    std::wstring const copy = folder.file(L"zem_copy.dll"), log = folder.file(L"copy.log");
    ASSERT_TRUE(CopyFileW((program_folder() + L"zem.vfs.common.dll").c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(registry.set(HKEY_LOCAL_MACHINE, "Software\\Tavrin Labs\\Quillon\\test_log",
                             "LogFile", narrow(log)));
    HMODULE module = LoadLibraryW(copy.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_FALSE(DeleteFileW(log.c_str())); // held open by the copy's logger
    FreeLibrary(module);
    EXPECT_TRUE(DeleteFileW(log.c_str())) << GetLastError(); // closed at unload
}
