// File matching and file policies: the pattern grammar, the size test,
// drive classes on real drives, process conditions in this process and in
// child processes, redirection paths, the module test, the wire format.
#include "policy/FileMatch.h"
#include "policy/FilePolicy.h"
#include "policy/MatchingVisitors.h"

#include "policy_support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <cwctype>
#include <string>

using namespace zem::vfs;
using zem::vfs::policy_test::frame_of;
using zem::vfs::policy_test::Handle;
using zem::vfs::policy_test::LogCapture;
using zem::vfs::policy_test::narrow;
using zem::vfs::policy_test::round_trip;
using zem::vfs::policy_test::run;
using zem::vfs::policy_test::Scratch;
using zem::vfs::test::hex;
using zem::vfs::test::MemoryStreamBuf;

namespace {

bool matches(char const *pattern, char const *path, int mode = 1) {
    FileMatch m(pattern, 1);
    return m.match_file(path, mode);
}

} // namespace

// ---------------------------------------------------------------------------
// Mode, size, empty pattern
// ---------------------------------------------------------------------------

TEST(FileMatchMode, CallerModeMustShareABit) {
    FileMatch m("", 2);
    EXPECT_FALSE(m.match_file("C:\\x", 1));
    EXPECT_TRUE(m.match_file("C:\\x", 3));
    EXPECT_FALSE(FileMatch("C:\\x", 2).match_file("C:\\x", 1));
    EXPECT_FALSE(FileMatch("", 0).match_file("C:\\x", -1));
    EXPECT_EQ(m.mode(), 2);
}

TEST(FileMatchMode, EmptyPatternMatchesEveryFileEvenNull) {
    FileMatch m("", 1);
    EXPECT_TRUE(m.match_file("C:\\anything", 1));
    EXPECT_TRUE(m.match_file("", 1));
    EXPECT_TRUE(m.match_file(nullptr, 1));
    FileMatch nulls(nullptr, 1);
    EXPECT_EQ(nulls.file(), "");
    EXPECT_TRUE(nulls.match_file("x", 1));
    FileMatch none; // mode 0: nothing
    EXPECT_FALSE(none.match_file("x", 1));
}

TEST(FileMatchSize, AtLeastMinSizeBytesOfARealFile) {
    Scratch dir;
    ASSERT_TRUE(dir.make_file(L"big.bin", 1000));
    ASSERT_TRUE(dir.make_file(L"small.bin", 999));
    FileMatch m(uint64(1000), 1);
    EXPECT_EQ(m.min_size(), 1000u);
    EXPECT_EQ(m.file(), "");
    EXPECT_TRUE(m.match_file(dir.utf8("big.bin").c_str(), 1));
    EXPECT_TRUE(m.match_file(("\\??\\" + dir.utf8("big.bin")).c_str(), 1));
    EXPECT_FALSE(m.match_file(dir.utf8("small.bin").c_str(), 1));
    EXPECT_FALSE(m.match_file(dir.utf8("missing.bin").c_str(), 1));
    EXPECT_FALSE(m.match_file(narrow(dir.path()).c_str(), 1)); // a directory
    EXPECT_FALSE(m.match_file(nullptr, 1));
    EXPECT_FALSE(m.match_file(dir.utf8("big.bin").c_str(), 2)); // mode first
}

TEST(FileMatchSize, PatternIsIgnoredWhenASizeIsSet) {
    Scratch dir;
    ASSERT_TRUE(dir.make_file(L"f.bin", 2000));
    // A match with both fields can only come from a stream.
    MemoryStreamBuf buf;
    Stream s(buf);
    s << "C:\\elsewhere\\" << uint64(1500) << 1;
    FileMatch m;
    ASSERT_TRUE(m.load_match(s));
    EXPECT_EQ(m.file(), "C:\\elsewhere\\");
    EXPECT_TRUE(m.match_file(dir.utf8("f.bin").c_str(), 1));
    EXPECT_FALSE(m.match_file("C:\\elsewhere\\f.bin", 1));
}

TEST(FileMatchSize, OpenFileIsNotDisturbed) {
    Scratch dir;
    ASSERT_TRUE(dir.make_file(L"open.bin", 50));
    // Held open for writing without sharing delete: the test shares all.
    Handle held(CreateFileW(dir.file(L"open.bin").c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr));
    ASSERT_TRUE(held.valid());
    EXPECT_TRUE(FileMatch(uint64(50), 1).match_file(dir.utf8("open.bin").c_str(), 1));
}

// ---------------------------------------------------------------------------
// File lists
// ---------------------------------------------------------------------------

TEST(FileMatchList, DirectoriesAndFilesAnyCaseAnySlash) {
    char const *p = "C:\\Temp\\;D:\\x.txt";
    EXPECT_TRUE(matches(p, "C:/temp/a/b"));
    EXPECT_TRUE(matches(p, "c:\\TEMP\\a"));
    EXPECT_TRUE(matches(p, "C:\\Temp"));          // the directory itself
    EXPECT_TRUE(matches(p, "\\??\\C:\\temp\\f")); // NT prefix
    EXPECT_TRUE(matches(p, "D:\\X.TXT"));
    EXPECT_FALSE(matches(p, "D:\\x.txt.bak"));
    EXPECT_FALSE(matches(p, "C:\\Tempo\\f"));
    EXPECT_FALSE(matches(p, "C:\\"));
    EXPECT_FALSE(matches(p, ""));
    EXPECT_FALSE(matches(p, nullptr));
}

TEST(FileMatchList, EmptyPiecesMatchNothingAndReferencesCoverBeneath) {
    EXPECT_FALSE(matches(";;", "C:\\x"));
    EXPECT_FALSE(matches(";", ""));
    EXPECT_TRUE(matches(";;C:\\a\\;", "C:\\a\\b"));
    EXPECT_TRUE(matches("C:\\dir", "C:\\dir\\x")); // without trailing backslash too
    EXPECT_FALSE(matches("C:\\dir", "C:\\dirx"));
    EXPECT_TRUE(matches("C:\\a.txt;C:\\b.txt", "c:\\B.TXT"));
    // Non-ASCII references arrive as UTF-8.
    EXPECT_TRUE(matches("C:\\Donn\xc3\xa9"
                        "es\\",
                        "c:/donn\xc3\xa9"
                        "es/f.txt"));
    EXPECT_FALSE(matches("C:\\Donn\xc3\xa9"
                         "es\\",
                         "C:\\Donnees\\f.txt"));
    // "*" and "?" are ordinary characters.
    EXPECT_FALSE(matches("C:\\*", "C:\\x"));
    EXPECT_TRUE(matches("C:\\*", "C:\\*"));
}

// ---------------------------------------------------------------------------
// Extended patterns
// ---------------------------------------------------------------------------

TEST(FileMatchExtended, RegexAnywhereIgnoringCaseWithInversion) {
    EXPECT_TRUE(matches("_:regex:\\.tmp$", "\\??\\C:\\a\\B.TMP"));
    EXPECT_FALSE(matches("_:regex:!\\.tmp$", "\\??\\C:\\a\\B.TMP"));
    EXPECT_TRUE(matches("_:regex:!\\.tmp$", "C:\\a\\b.txt"));
    EXPECT_TRUE(matches("_:regex:^c:\\\\", "\\??\\C:\\x")); // prefix dropped first
    EXPECT_FALSE(matches("_:regex:^c:\\\\", "D:\\C:\\x"));
    EXPECT_TRUE(matches("_:regex:docs", "C:\\My\\DOCS\\f"));
    EXPECT_FALSE(matches("_:regex:", "C:\\x")); // nothing after regex:
    EXPECT_FALSE(matches("_:regex:", ""));
    // The same object asked again gives the same answers (it is prepared once).
    FileMatch m("_:regex:\\.(exe|dll)$", 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(m.match_file("C:\\w\\A.DLL", 1));
        EXPECT_FALSE(m.match_file("C:\\w\\a.dl", 1));
    }
}

TEST(FileMatchExtended, NegationOfAnyInnerPattern) {
    EXPECT_TRUE(matches("_:!:C:\\Windows\\", "C:\\data\\f"));
    EXPECT_FALSE(matches("_:!:C:\\Windows\\", "C:\\WINDOWS\\f"));
    EXPECT_FALSE(matches("_:!:C:\\Windows\\", "\\??\\C:\\windows\\f"));
    EXPECT_TRUE(matches("_:!:!:C:\\Windows\\", "C:\\windows\\f"));
    EXPECT_FALSE(matches("_:!:regex:\\.tmp$", "C:\\a.tmp"));
    EXPECT_TRUE(matches("_:!:regex:!\\.tmp$", "C:\\a.tmp"));
    EXPECT_TRUE(matches("_:!:disk:unc", "C:\\x"));
    EXPECT_TRUE(matches("_:C:\\plain\\", "C:\\plain\\list")); // "_:" with a list
}

TEST(FileMatchExtended, DeepChainsNeitherOverflowNorLoseParity) {
    std::string even = "_:";
    for (int i = 0; i < 200000; ++i)
        even += "!:";
    even += "C:\\w\\";
    EXPECT_TRUE(matches(even.c_str(), "C:\\w\\f"));
    EXPECT_FALSE(matches(even.c_str(), "C:\\v\\f"));
    std::string odd = "_:!:" + even.substr(2);
    EXPECT_FALSE(matches(odd.c_str(), "C:\\w\\f"));
    std::string shares = "_:";
    for (int i = 0; i < 100000; ++i)
        shares += "disk:unc:";
    shares += "x";
    EXPECT_FALSE(matches(shares.c_str(), "UNC\\a\\b"));
}

TEST(FileMatchExtended, NetworkSharesExceptTheProductsOwn) {
    EXPECT_TRUE(matches("_:disk:unc", "UNC\\server\\share\\f"));
    EXPECT_TRUE(matches("_:disk:unc", "\\??\\unc\\server\\share\\f"));
    EXPECT_FALSE(matches("_:disk:unc", "UNC\\TORVEX-01\\s\\f"));
    EXPECT_FALSE(matches("_:disk:unc", "UNC\\torvex-01\\s\\f"));
    EXPECT_FALSE(matches("_:disk:unc", "UNC\\localhost\\qvzr_1\\f"));
    EXPECT_FALSE(matches("_:disk:unc", "UNC\\LOCALHOST\\QVZR_1\\f"));
    EXPECT_TRUE(matches("_:disk:unc", "UNC\\localhost\\other\\f"));
    EXPECT_FALSE(matches("_:disk:unc", "C:\\x"));
    EXPECT_FALSE(matches("_:disk:unc", "\\\\server\\share\\f"));
    EXPECT_FALSE(matches("_:disk:unc", "\\Device\\Csc\\.\\.\\server\\share\\f"));
}

TEST(FileMatchExtended, InnerPatternsOfShares) {
    char const *p = "_:disk:unc:server\\share\\";
    EXPECT_TRUE(matches(p, "UNC\\server\\share\\dir\\f"));
    EXPECT_TRUE(matches(p, "\\??\\UNC\\SERVER\\share"));
    EXPECT_TRUE(matches(p, "\\Device\\Csc\\.\\.\\server\\share\\f"));
    EXPECT_TRUE(matches(p, "\\device\\CSC\\.\\.\\server\\share\\f"));
    EXPECT_FALSE(matches(p, "UNC\\other\\share\\f"));
    EXPECT_FALSE(matches(p, "C:\\server\\share\\f"));
    EXPECT_FALSE(matches("_:disk:unc:TORVEX-1\\", "UNC\\TORVEX-1\\x"));
    EXPECT_TRUE(matches("_:disk:unc:regex:\\.docx$", "UNC\\s\\sh\\a.DOCX"));
    EXPECT_FALSE(matches("_:disk:unc:regex:\\.docx$", "C:\\a.docx"));
    EXPECT_TRUE(matches("_:disk:unc:!:server\\", "UNC\\other\\f"));
    EXPECT_FALSE(matches("_:disk:unc:!:server\\", "C:\\other\\f")); // not a share at all
    EXPECT_TRUE(matches("_:!:disk:unc:server\\", "C:\\other\\f"));
    EXPECT_TRUE(matches("_:disk:unc:disk:unc", "UNC\\UNC\\b\\c"));
    EXPECT_FALSE(matches("_:disk:unc:disk:unc", "UNC\\a\\UNC\\b\\c"));
}

TEST(FileMatchExtended, DriveClassesNeedADriveLetter) {
    for (char const *p : {"_:disk:usb", "_:disk:cdrom", "_:disk:remote"}) {
        EXPECT_FALSE(matches(p, "UNC\\server\\share\\f")) << p;
        EXPECT_FALSE(matches(p, "\\\\server\\share\\f")) << p;
        EXPECT_FALSE(matches(p, "relative\\f")) << p;
        EXPECT_FALSE(matches(p, "")) << p;
        EXPECT_FALSE(matches(p, "C:\\x")) << p; // a fixed disk
        EXPECT_FALSE(matches(p, "\\??\\C:\\x")) << p;
    }
    // Only the whole text names a drive class; anything else is a list.
    EXPECT_FALSE(matches("_:disk:usbx", "C:\\x"));
    EXPECT_TRUE(matches("_:disk:usbx", "disk:usbx"));
}

namespace {

// Defines a drive letter of a chosen type through Wine's mount manager (as
// its configuration tool does) and removes it again; under another system,
// or when the manager refuses, the drive is not there and the test skips.
class WineDrive {
public:
    WineDrive(std::wstring const &folder, unsigned type) : letter_(0) {
        typedef char *(__cdecl * UnixName)(wchar_t const *);
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        UnixName unix_name = reinterpret_cast<UnixName>(
            reinterpret_cast<void *>(GetProcAddress(kernel, "wine_get_unix_file_name")));
        if (unix_name == nullptr)
            return;
        char *unix_path = unix_name(folder.c_str());
        if (unix_path == nullptr)
            return;
        std::string mount = unix_path;
        HeapFree(GetProcessHeap(), 0, unix_path);
        for (wchar_t c = L'Y'; c >= L'M'; --c) {
            wchar_t root[4] = {c, L':', L'\\', 0};
            if (GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR) {
                if (define(c, type, mount.c_str()) && GetDriveTypeW(root) == type)
                    letter_ = c;
                else
                    define(c, 0, nullptr);
                break;
            }
        }
    }
    ~WineDrive() {
        if (letter_ != 0)
            define(letter_, 0, nullptr);
    }
    WineDrive(WineDrive const &) = delete;
    WineDrive &operator=(WineDrive const &) = delete;

    // "X:" or empty when no drive could be made.
    std::string path(char const *rest) const {
        if (letter_ == 0)
            return std::string();
        return std::string(1, char(letter_)) + ":" + rest;
    }

private:
    // The request layout of Wine's mount manager.
    struct Request {
        ULONG size;
        ULONG type;
        ULONG fs_type;
        DWORD serial;
        ULONGLONG unix_dev;
        WCHAR letter;
        USHORT mount_point_offset;
        USHORT device_offset;
        USHORT label_offset;
    };

    static bool define(wchar_t letter, unsigned type, char const *mount) {
        Handle manager(CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
        if (!manager.valid())
            return false;
        std::string bytes(sizeof(Request), '\0');
        Request request = {};
        request.type = type;
        request.letter = wchar_t(towlower(letter));
        if (mount != nullptr) {
            request.mount_point_offset = USHORT(bytes.size());
            bytes += mount;
            bytes += '\0';
        }
        request.size = ULONG(bytes.size());
        std::memcpy(&bytes[0], &request, sizeof request);
        DWORD returned = 0;
        return DeviceIoControl(
                   manager.get(),
                   CTL_CODE(0x6d, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
                   &bytes[0], DWORD(bytes.size()), nullptr, 0, &returned, nullptr) != 0;
    }

    wchar_t letter_;
};

} // namespace

TEST(FileMatchExtended, DriveClassesOnRealDrives) {
    Scratch dir;
    struct Case {
        unsigned type;
        char const *pattern;
    } const cases[] = {{DRIVE_CDROM, "_:disk:cdrom"},
                       {DRIVE_REMOVABLE, "_:disk:usb"},
                       {DRIVE_REMOTE, "_:disk:remote"}};
    int made = 0;
    for (Case const &c : cases) {
        WineDrive drive(dir.path(), c.type);
        std::string file = drive.path("\\f.txt");
        if (file.empty())
            continue;
        ++made;
        for (Case const &other : cases)
            EXPECT_EQ(matches(other.pattern, file.c_str()), other.type == c.type)
                << other.pattern << " on a drive of type " << c.type;
        EXPECT_EQ(matches(c.pattern, ("\\??\\" + file).c_str()), true);
        EXPECT_EQ(matches(("_:!:" + std::string(c.pattern + 2)).c_str(), file.c_str()), false);
        // Not a share: a network drive whose device is no redirector keeps
        // its path.
        EXPECT_FALSE(matches("_:disk:unc", file.c_str()));
    }
    if (made == 0)
        GTEST_SKIP() << "no drive of another type could be defined on this system";
}

// ---------------------------------------------------------------------------
// Process conditions
// ---------------------------------------------------------------------------

TEST(FileMatchCondition, AppliesOnlyInsideTheNamedProcess) {
    EXPECT_TRUE(matches("$:test_policy.exe:C:\\w\\", "C:\\w\\f"));
    EXPECT_FALSE(matches("$:test_policy.exe:C:\\w\\", "C:\\v\\f"));
    EXPECT_FALSE(matches("$:notepad.exe:C:\\w\\", "C:\\w\\f"));
    EXPECT_FALSE(matches("$::C:\\w\\", "C:\\w\\f")); // an empty process part
    EXPECT_TRUE(matches("$:*:C:\\w\\", "C:\\w\\f"));
    EXPECT_TRUE(matches("$:test_policy.exe:regex:^c:\\\\w\\\\", "C:\\w\\f"));
    // The path keeps its NT prefix here.
    EXPECT_TRUE(matches("$:test_policy.exe:regex:^\\\\\\?\\?\\\\", "\\??\\C:\\w\\f"));
    // Without a ":" the whole text is the extended pattern.
    EXPECT_TRUE(matches("$:\\Device\\Foo\\", "\\Device\\foo\\bar"));
    // The first ":" ends the process part, whatever follows.
    EXPECT_FALSE(matches("$:!:\\Device\\Foo\\", "\\Device\\bar"));
}

TEST(FileMatchCondition, InChildProcessesWithKnownImageNames) {
    Scratch dir;
    ASSERT_TRUE(dir.copy_child(L"explorer.exe"));
    ASSERT_TRUE(dir.copy_child(L"notepad.exe"));
    std::string const pattern = "$:explorer.exe:C:\\w\\";
    auto asked = [&](wchar_t const *program, char const *path) {
        return run(dir.file(program), {"file", pattern, path, "1"}).value("match");
    };
    EXPECT_EQ(asked(L"explorer.exe", "C:\\w\\f"), "1");
    EXPECT_EQ(asked(L"explorer.exe", "C:\\v\\f"), "0");
    EXPECT_EQ(asked(L"notepad.exe", "C:\\w\\f"), "0");
}

// ---------------------------------------------------------------------------
// Wire format
// ---------------------------------------------------------------------------

TEST(FileMatchWire, FieldsInOrderAndBack) {
    FileMatch m("C:\\a\\;_:x", 6);
    MemoryStreamBuf buf;
    Stream s(buf);
    EXPECT_TRUE(m.serialize_match(s));
    std::string expected = std::string("s::C:\\a\\;_:x") + std::string(1, '\0') +
                           "I:8:" + std::string(8, '\0') + "i:4:" + std::string("\x06\0\0\0", 4);
    EXPECT_EQ(hex(buf.bytes()), hex(expected));
    FileMatch back;
    Stream r(buf);
    EXPECT_TRUE(back.load_match(r));
    EXPECT_EQ(back.file(), "C:\\a\\;_:x");
    EXPECT_EQ(back.mode(), 6);
    EXPECT_EQ(back.min_size(), 0u);
    EXPECT_TRUE(back.match_file("C:\\a\\b", 2)); // prepared after the load
}

TEST(FilePolicyWire, FieldsInOrder) {
    FilePolicy p("n", "C:\\s\\", 3, 1, "D:\\t\\");
    p.set_merge(2);
    std::string z1(1, '\0');
    std::string expected = "v:policy/FilePolicy:s::n" + z1 + "i:4:" + std::string("\x02\0\0\0", 4) +
                           "s::C:\\s\\" + z1 + "I:8:" + std::string(8, '\0') +
                           "i:4:" + std::string("\x03\0\0\0", 4) +
                           "i:4:" + std::string("\x01\0\0\0", 4) + "s::D:\\t\\" + z1;
    EXPECT_EQ(hex(frame_of(p)), hex(expected));
    FilePolicy *back = round_trip(p);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->name(), "n");
    EXPECT_EQ(back->get_merge(), 2);
    EXPECT_EQ(back->file(), "C:\\s\\");
    EXPECT_EQ(back->mode(), 3);
    EXPECT_EQ(back->policy(), 1);
    EXPECT_STREQ(back->redir(), "D:\\t\\");
    EXPECT_FALSE(back->is_module_policy());
    back->release();
}

TEST(FilePolicyWire, ModuleFilePolicyComesBackAsItself) {
    ModuleFileFilePolicy m("mod");
    std::string bytes = frame_of(m);
    EXPECT_EQ(bytes.compare(0, 29, "v:policy/ModuleFileFilePolicy"), 0);
    ModuleFileFilePolicy *back = round_trip(m);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->is_module_policy());
    EXPECT_EQ(back->mode(), 1);
    back->release();
}

// ---------------------------------------------------------------------------
// File policies
// ---------------------------------------------------------------------------

TEST(FilePolicyFields, ConstructorsAndClone) {
    FilePolicy a("a", "C:\\x\\", 5, 7, nullptr);
    EXPECT_STREQ(a.redir(), "");
    EXPECT_EQ(a.policy(), 7);
    EXPECT_EQ(a.min_size(), 0u);
    FilePolicy b("b", FileMatch(uint64(64), 2), 4, "R");
    EXPECT_EQ(b.min_size(), 64u);
    EXPECT_EQ(b.mode(), 2);
    EXPECT_EQ(b.file(), "");
    b.set_merge(9);
    Policy *c = b.clone();
    FilePolicy *fc = dynamic_cast<FilePolicy *>(c);
    ASSERT_NE(fc, nullptr);
    EXPECT_EQ(fc->get_merge(), 9);
    EXPECT_EQ(fc->min_size(), 64u);
    EXPECT_STREQ(fc->redir(), "R");
    EXPECT_STREQ(fc->distinguish(), "policy/FilePolicy");
    c->release();
    ModuleFileFilePolicy m("m");
    EXPECT_EQ(m.file(), "");
    EXPECT_EQ(m.mode(), 1);
    EXPECT_EQ(m.policy(), 0);
    EXPECT_STREQ(m.redir(), "");
    Policy *mc = m.clone();
    EXPECT_NE(dynamic_cast<ModuleFileFilePolicy *>(mc), nullptr);
    mc->release();
}

TEST(FilePolicyMapping, DirectorySourceKeepsTheRestBelowIt) {
    FilePolicy p("p", "C:\\src\\", 1, 1, "D:\\dst\\");
    EXPECT_EQ(p.get_mapped_file("\\??\\C:\\SRC\\x.txt"), "\\??\\D:\\dst\\x.txt");
    EXPECT_EQ(p.get_mapped_file("C:\\src\\a\\b.txt"), "D:\\dst\\a\\b.txt");
    EXPECT_EQ(p.get_mapped_file("C:\\src"), "D:\\dst\\");
    EXPECT_EQ(p.get_mapped_file("C:\\other\\f"), "D:\\dst\\"); // not below: the target
    EXPECT_EQ(p.get_mapped_file("C:"), "D:\\dst\\");
    EXPECT_EQ(p.get_mapped_file(nullptr), "D:\\dst\\");
}

TEST(FilePolicyMapping, ExplicitSourceFileTargetAndBareTarget) {
    FilePolicy explicit_source("p", "_:regex:.", 1, 1, "C:\\a\\;E:\\b\\");
    EXPECT_EQ(explicit_source.get_mapped_file("C:\\a\\f"), "E:\\b\\f");
    EXPECT_EQ(explicit_source.get_mapped_file("\\??\\c:\\A\\d\\f"), "\\??\\E:\\b\\d\\f");
    FilePolicy file_target("p", "C:\\x\\a.txt;C:\\y.txt", 1, 1, "D:\\new.txt");
    EXPECT_EQ(file_target.get_mapped_file("C:\\x\\a.txt"), "D:\\new.txt");
    EXPECT_EQ(file_target.get_mapped_file("\\??\\C:\\y.txt"), "\\??\\D:\\new.txt");
    // A directory source keeps the rest even for a file target.
    FilePolicy dir_source("p", "C:\\x\\", 1, 1, "D:\\new.txt");
    EXPECT_EQ(dir_source.get_mapped_file("C:\\x\\b"), "D:\\new.txtb");
    FilePolicy bare("p", "C:\\s\\", 1, 1, "D:\\t");
    EXPECT_EQ(bare.get_mapped_file("C:\\s\\f"), "D:\\tf");
    FilePolicy file_source("p", "C:\\s\\", 1, 1, "C:\\one.txt;D:\\two.txt");
    EXPECT_EQ(file_source.get_mapped_file("C:\\one.txt"), "D:\\two.txt");
    FilePolicy empty_source("p", "C:\\s\\", 1, 1, ";D:\\t\\");
    EXPECT_EQ(empty_source.get_mapped_file("C:\\s\\f"), "D:\\t\\");
}

namespace {

std::string loaded_library_path() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(GetModuleHandleW(L"zem.vfs.common.dll"), path, MAX_PATH);
    return narrow(std::wstring(path, n));
}

} // namespace

TEST(ModuleFileTest, LoadedDllsAccessedWithModeOne) {
    ModuleFileFilePolicy m("m");
    std::string dll = loaded_library_path();
    ASSERT_FALSE(dll.empty());
    {
        LogCapture log;
        EXPECT_TRUE(m.match_file(dll.c_str(), 1));
        EXPECT_EQ(log.count("ignore dll " + dll), 1);
    }
    EXPECT_FALSE(m.match_file(dll.c_str(), 3));
    EXPECT_FALSE(m.match_file(dll.c_str(), 2));
    std::string slashes = dll;
    for (char &c : slashes)
        if (c == '\\')
            c = '/';
    EXPECT_TRUE(m.match_file(slashes.c_str(), 1));
    EXPECT_FALSE(m.match_file("C:\\x\\KERNEL32.DLL.bak", 1));
    EXPECT_FALSE(m.match_file("kernel32.dll", 1)); // no separator
    EXPECT_FALSE(m.match_file(nullptr, 1));
    EXPECT_FALSE(m.match_file("", 1));
}

TEST(ModuleFileTest, ExistingFileAndLoadedBaseNameAreBothNeeded) {
    Scratch dir;
    std::wstring from = policy_test::program_folder() + L"zem.vfs.common.dll";
    ASSERT_TRUE(CopyFileW(from.c_str(), dir.file(L"zem.vfs.common.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(from.c_str(), dir.file(L"never_loaded.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(from.c_str(), dir.file(L"UPPER.DLL").c_str(), FALSE));
    ModuleFileFilePolicy m("m");
    // The base name is what counts: another copy of a loaded DLL matches.
    EXPECT_TRUE(m.match_file(dir.utf8("zem.vfs.common.dll").c_str(), 1));
    EXPECT_FALSE(m.match_file(dir.utf8("never_loaded.dll").c_str(), 1));
    EXPECT_FALSE(m.match_file(dir.utf8("missing.dll").c_str(), 1));
    EXPECT_FALSE(m.match_file(dir.utf8("UPPER.DLL").c_str(), 1));
    HMODULE loaded = LoadLibraryW(dir.file(L"UPPER.DLL").c_str());
    if (loaded != nullptr) {
        EXPECT_TRUE(m.match_file(dir.utf8("UPPER.DLL").c_str(), 1));
        FreeLibrary(loaded);
    }
}

TEST(ModuleFileTest, TheFileVisitorUsesTheModuleTestForThisClass) {
    PolicyGroup root("root");
    root.add(new ModuleFileFilePolicy("loaded dlls"));
    root.add(new FilePolicy("all", "", 1, 1, "D:\\r\\"));
    std::string dll = loaded_library_path();
    FilePolicyVisitor on_dll(dll.c_str(), 1);
    root.apply(on_dll);
    EXPECT_TRUE(on_dll.finished());
    EXPECT_EQ(on_dll.policy(), 0);
    EXPECT_STREQ(on_dll.mappedfile(), "");
    FilePolicyVisitor on_text("C:\\x\\a.txt", 1);
    root.apply(on_text);
    EXPECT_EQ(on_text.policy(), 1);
    EXPECT_STREQ(on_text.mappedfile(), "D:\\r\\");
}
