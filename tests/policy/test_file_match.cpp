// File matching and file policies: patterns against paths, the size test,
// process conditions, mapped paths, the module test.
#include "policy/FilePolicy.h"
#include "policy/MatchingVisitors.h"

#include "policy_support.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace zem::vfs;
using namespace zem::vfs::policy_test;

// Each pattern with the paths it matches and those it does not.
TEST(FileMatchTest, PatternsAgainstPaths) {
    // clang-format off
    struct Case { char const *pattern; std::vector<char const *> matched, missed; } const cases[] = {
        {"", {"C:\\any", nullptr}, {}},
        {"C:\\Temp\\;D:\\x.txt", {"C:/temp/a/b", "c:\\TEMP", "D:\\X.TXT", "\\??\\D:\\x.txt", "D:\\x.txt\\in"}, {"D:\\x.txt.bak", "C:\\Tempo\\a"}},
        {";;C:\\a\\;", {"C:\\a\\f"}, {}}, {";;", {}, {"C:\\a\\f"}},
        {"_:regex:\\.tmp$", {"\\??\\C:\\a\\B.TMP"}, {}}, {"_:regex:!\\.tmp$", {"C:\\a\\b.txt"}, {"\\??\\C:\\a\\B.TMP"}},
        {"_:regex:^C:", {"\\??\\c:\\x"}, {}}, {"_:regex:^\\\\\\?", {}, {"\\??\\c:\\x"}}, {"_:regex:", {}, {"C:\\x"}},
        {"_:!:C:\\Windows\\", {"C:\\data\\f"}, {"C:\\WINDOWS\\f"}}, {"_:!:!:C:\\Windows\\", {"C:\\WINDOWS\\f"}, {}},
        {"_:!:regex:a", {"C:\\b"}, {}}, {"_:C:\\w\\", {"\\??\\C:\\w\\f"}, {}},
        {"_:disk:unc", {"UNC\\server\\share\\f", "UNC\\TORVEX01\\s\\f", "UNC\\localhost\\qvzr1\\f", "\\??\\UNC\\server\\s"},
         {"UNC\\TORVEX-01\\s\\f", "UNC\\torvex-01\\s\\f", "UNC\\localhost\\qvzr_1\\f", "C:\\UNC\\server", "\\Device\\Csc\\.\\.\\server\\s"}},
        {"_:disk:unc:server\\share\\", {"UNC\\server\\share\\dir\\f", "\\Device\\Csc\\.\\.\\server\\share\\f", "\\device\\CSC\\.\\.\\server\\share\\f"},
         {"UNC\\server\\other\\f", "\\Device\\Csc\\.\\server\\share\\f", "UNC\\TORVEX-1\\server\\share\\f", "C:\\server\\share\\f"}},
        {"_:disk:unc:!:server\\", {"UNC\\other\\s"}, {}}, {"_:disk:unc:regex:^srv\\\\", {"UNC\\SRV\\s"}, {}},
        {"_:disk:usb", {}, {"relative\\f", "C:\\x"}}, {"_:disk:remote", {}, {"\\??\\C:\\x"}}, {"_:disk:usbx", {"disk:usbx"}, {}},
        {"_:!:disk:usb", {"C:\\x"}, {}}, {"$:test_policy.exe:C:\\w\\", {"C:\\w\\f"}, {"C:\\v\\f"}},
        {"$:notepad.exe:C:\\w\\", {}, {"C:\\w\\f"}}, {"$::C:\\w\\", {}, {"C:\\w\\f"}}, {"$:*:C:\\w\\", {"C:\\w\\f"}, {}},
        {"$:test_policy.exe:regex:^\\\\\\?\\?\\\\", {"\\??\\C:\\w\\f"}, {}}, {"$:test_policy.exe:!:C:\\w\\", {}, {"C:\\w\\f"}},
        {"$:\\Device\\Foo\\", {"\\Device\\foo\\bar"}, {"\\Device\\bar"}}, {"$:!:\\Device\\Foo\\", {}, {"\\Device\\bar"}}};
    // clang-format on
    for (Case const &c : cases) {
        for (bool match : {true, false}) {
            for (char const *path : match ? c.matched : c.missed) {
                EXPECT_EQ(FileMatch(c.pattern, 3).match_file(path, 2), match)
                    << c.pattern << " on " << (path ? path : "<null>");
                EXPECT_FALSE(FileMatch(c.pattern, 4).match_file(path, 3)) << c.pattern;
            }
        }
    }
}

TEST(FileMatchTest, SizeTestOnRealFiles) {
    TempFolder dir(L"zem_policy");
    ASSERT_TRUE(write_file(dir.file(L"999"), std::string(999, 'x')));
    ASSERT_TRUE(write_file(dir.file(L"1000"), std::string(1000, 'x')));
    ASSERT_TRUE(write_file(dir.file(L"0"), ""));
    Handle open_for_writing(CreateFileW(dir.file(L"1000").c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    FilePolicy copied("p", FileMatch(uint64(1000), 3), 0, "");
    // clang-format off
    struct Case { uint64 size; char const *file; int mode; bool match; } const cases[] = {{1000, "1000", 1, true},
        {1000, "999", 1, false}, {1000, "none", 1, false}, {1000, "1000", 4, false}, {999, "999", 2, true}, {1, "0", 1, false},
        {1000, "", 1, false}};
    // clang-format on
    for (Case const &c : cases) {
        std::string path = dir.narrow_file(c.file);
        EXPECT_EQ(FileMatch(c.size, 3).match_file(path.c_str(), c.mode), c.match) << c.file;
        EXPECT_EQ(copied.match_file(path.c_str(), c.mode), c.match && c.size == 1000) << c.file;
    }
    EXPECT_FALSE(FileMatch(uint64(1), 3).match_file(nullptr, 1));
}

TEST(FilePolicyTest, MappedPaths) {
    // clang-format off
    struct Case { char const *pattern, *redir, *file, *mapped; } const cases[] = {
        {"C:\\src\\", "D:\\dst\\", "\\??\\C:\\SRC\\x.txt", "\\??\\D:\\dst\\x.txt"}, {"C:\\src\\", "D:\\dst\\", "C:\\src\\a\\b.txt", "D:\\dst\\a\\b.txt"},
        {"C:\\src\\", "D:\\dst\\", "C:\\src", "D:\\dst\\"}, {"C:\\src\\", "D:\\dst\\", "C:\\other\\f", "D:\\dst\\"},
        {"C:\\src\\", "D:\\dst\\", nullptr, "D:\\dst\\"}, {"C:\\s\\", "D:\\t", "C:\\s\\f", "D:\\tf"}, {"C:\\s\\", "D:\\t", "C:\\s\\\\f", "D:\\t\\f"},
        {"anything", "C:\\a\\;E:\\b\\", "C:\\a\\f", "E:\\b\\f"}, {"C:\\a\\", "C:\\a\\;E:\\b\\;x", "C:\\A\\f", "E:\\b\\;xf"},
        {"C:\\a\\", ";E:\\b\\", "C:\\a\\f", "E:\\b\\"}, {"C:\\a.txt", "D:\\new.txt", "C:\\a.txt", "D:\\new.txt"}, {"", "", "\\??\\C:\\x", "\\??\\"}};
    // clang-format on
    for (Case const &c : cases) {
        FilePolicy p("p", c.pattern, 1, 1, c.redir);
        EXPECT_EQ(p.get_mapped_file(c.file), c.mapped) << c.redir << " " << (c.file ? c.file : "");
    }
    // Every path that the match accepts, written with "/" anywhere, maps as
    // its "\" twin does.
    FilePolicy dir("dir", "C:\\src\\", 1, 1, "D:\\dst\\");
    FilePolicy explicit_source("explicit", "", 1, 1, "C:\\src\\;D:\\dst\\");
    for (char const *file : {"C:/src/a.txt", "C:\\src/a.txt", "C:/src\\a.txt", "c:/SRC//a/b.txt",
                             "\\??\\C:/src/a.txt", "/?\?/C:/src/a", "C:/src", "C:/src/"}) {
        std::string twin = file;
        std::replace(twin.begin(), twin.end(), '/', '\\');
        EXPECT_TRUE(dir.match_file(file, 1)) << file;
        EXPECT_EQ(dir.get_mapped_file(file), dir.get_mapped_file(twin.c_str())) << file;
        EXPECT_EQ(explicit_source.get_mapped_file(file), dir.get_mapped_file(twin.c_str()));
        EXPECT_EQ(dir.get_mapped_file(file).substr(0, 7),
                  file[1] == ':' ? "D:\\dst\\" : "\\??\\D:\\");
    }
    EXPECT_EQ(dir.get_mapped_file("C:/src/a/b.txt"), "D:\\dst\\a\\b.txt");
}

TEST(FilePolicyTest, ModuleTest) {
    TempFolder dir(L"zem_policy");
    std::wstring const from = program_folder() + L"zem.vfs.common.dll";
    for (wchar_t const *name : {L"zem.vfs.common.dll", L"never_loaded.dll"})
        ASSERT_TRUE(CopyFileW(from.c_str(), dir.file(name).c_str(), FALSE));
    wchar_t path[MAX_PATH];
    DWORD const n = GetModuleFileNameW(GetModuleHandleW(L"zem.vfs.common.dll"), path, MAX_PATH);
    std::string const dll = narrow(std::wstring(path, n)),
                      copy = dir.narrow_file("zem.vfs.common.dll");
    std::string slashes = dll;
    std::replace(slashes.begin(), slashes.end(), '\\', '/');
    // clang-format off
    struct Case { std::string file; int mode; bool match; } const cases[] = {{dll, 1, true}, {slashes, 1, true}, {copy, 1, true},
        {dll, 3, false}, {dll, 2, false}, {dll + ".bak", 1, false}, {dir.narrow_file("never_loaded.dll"), 1, false},
        {dir.narrow_file("missing.dll"), 1, false}, {"zem.vfs.common.dll", 1, false}, {"", 1, false}};
    // clang-format on
    ModuleFileFilePolicy const m("m");
    LogCapture log;
    for (Case const &c : cases)
        EXPECT_EQ(m.match_file(c.file.c_str(), c.mode), c.match) << c.file << " " << c.mode;
    EXPECT_FALSE(m.match_file(nullptr, 1));
    EXPECT_EQ(log.count("ignore dll " + dll), 1);

    // The file visitor asks the module test of this class.
    PolicyGroup root("root");
    root.add(new ModuleFileFilePolicy("loaded dlls"));
    root.add(new FilePolicy("all", "", 1, 1, "D:\\r\\"));
    FilePolicyVisitor on_dll(dll.c_str(), 1), on_text("C:\\x\\a.txt", 1);
    root.apply(on_dll);
    root.apply(on_text);
    EXPECT_TRUE(on_dll.finished());
    EXPECT_EQ(on_dll.policy(), 0);
    EXPECT_EQ(on_text.policy(), 1);
    EXPECT_STREQ(on_text.mappedfile(), "D:\\r\\");
}
