// The native helpers: the state read at load, image paths with and without a
// drive letter (Wine maps the build folder only as Z:, which is never tried,
// so copies of child_ntdll.exe on C: show the drive-letter form), token
// queries, thread snapshots, the export-table look-up on kernel32's forwarded
// exports, and the object, PEB and package queries.
#include "../../common/sys/Ntdll.h"

#include "log/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <cctype>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

namespace ntdll = zem::vfs::ntdll;
using zem::vfs::test::ChildResult;
using zem::vfs::test::narrow;
using zem::vfs::test::TempFolder;

namespace {

bool same_path(std::wstring const &a, std::wstring const &b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    }
    return true;
}

std::wstring raw_image_path() {
    wchar_t path[MAX_PATH * 2];
    DWORD n = GetProcessImageFileNameW(GetCurrentProcess(), path, MAX_PATH * 2);
    return std::wstring(path, n);
}

std::wstring own_image_path() {
    wchar_t path[MAX_PATH * 2];
    if (!ntdll::GetProcessFileNameW(GetCurrentProcess(), path, MAX_PATH * 2))
        return L"<failed>";
    return path;
}

// A drive letter defined for the length of a test as a raw device path.
class ScopedDrive {
public:
    explicit ScopedDrive(std::wstring const &target) : target_(target) {
        for (wchar_t letter = L'Y'; letter >= L'D'; --letter) {
            wchar_t const drive[3] = {letter, L':', 0};
            wchar_t device[MAX_PATH];
            if (QueryDosDeviceW(drive, device, MAX_PATH) != 0)
                continue;
            if (DefineDosDeviceW(DDD_RAW_TARGET_PATH, drive, target_.c_str()))
                drive_ = drive;
            break;
        }
    }
    ~ScopedDrive() {
        if (!drive_.empty())
            DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION |
                                 DDD_EXACT_MATCH_ON_REMOVE,
                             drive_.c_str(), target_.c_str());
    }
    ScopedDrive(ScopedDrive const &) = delete;
    ScopedDrive &operator=(ScopedDrive const &) = delete;

    std::wstring const &drive() const { return drive_; }

private:
    std::wstring target_;
    std::wstring drive_;
};

// Name, ordinal and table entry of an export that kernel32 forwards to
// another DLL: its table entry points at the forwarder text.
struct Forwarded {
    std::string name;
    WORD ordinal = 0;
    char const *forwarder = nullptr;
};

Forwarded find_forwarded(HMODULE module) {
    Forwarded found;
    auto base = reinterpret_cast<unsigned char const *>(module);
    auto dos = reinterpret_cast<IMAGE_DOS_HEADER const *>(base);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS64 const *>(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY const &dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY const *>(base + dir.VirtualAddress);
    auto functions = reinterpret_cast<DWORD const *>(base + exports->AddressOfFunctions);
    auto names = reinterpret_cast<DWORD const *>(base + exports->AddressOfNames);
    auto ordinals = reinterpret_cast<WORD const *>(base + exports->AddressOfNameOrdinals);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        DWORD rva = functions[ordinals[i]];
        if (rva >= dir.VirtualAddress && rva < dir.VirtualAddress + dir.Size) {
            found.name = reinterpret_cast<char const *>(base + names[i]);
            found.ordinal = static_cast<WORD>(exports->Base + ordinals[i]);
            found.forwarder = reinterpret_cast<char const *>(base + rva);
            if (found.name == "AcquireSRWLockExclusive")
                break; // the preferred example; any forwarded one will do
        }
    }
    return found;
}

} // namespace

// ---------------------------------------------------------------------------
// State read at load
// ---------------------------------------------------------------------------

TEST(NtdllSystem, SixtyFourBitProcessOnASixtyFourBitSystem) {
    EXPECT_EQ(ntdll::Is64System(), 1);
    EXPECT_EQ(ntdll::IsWow64Process(nullptr), 0);
    EXPECT_EQ(ntdll::IsWow64Process(GetCurrentProcess()), 0);
    EXPECT_EQ(ntdll::IsWow64Process(reinterpret_cast<void *>(0x1234)), 0); // query fails
    EXPECT_EQ(ntdll::GetSysWow64Directory(), nullptr);
    EXPECT_EQ(ntdll::IsEnableFsRedirection(), 0);
}

TEST(NtdllSystem, SystemDirectoryEndsWithBackslash) {
    wchar_t const *directory = ntdll::GetSysDirectory();
    ASSERT_NE(directory, nullptr);
    wchar_t expected[MAX_PATH];
    UINT n = GetSystemDirectoryW(expected, MAX_PATH);
    EXPECT_EQ(std::wstring(directory), std::wstring(expected, n) + L"\\");
}

TEST(NtdllSystem, RtlInitUnicodeString) {
    UNICODE_STRING s = {};
    wchar_t const text[] = L"Quillon";
    ntdll::RtlInitUnicodeString(&s, text);
    EXPECT_EQ(s.Length, 14);
    EXPECT_EQ(s.MaximumLength, 16);
    EXPECT_EQ(s.Buffer, text);
}

// ---------------------------------------------------------------------------
// Threads and processes
// ---------------------------------------------------------------------------

TEST(NtdllThreads, ThreadIdFromHandle) {
    EXPECT_EQ(ntdll::GetThreadId(GetCurrentThread()), GetCurrentThreadId());
    DWORD id = 0;
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(ntdll::GetThreadId(thread), id);
    ResumeThread(thread);
    WaitForSingleObject(thread, INFINITE);
    EXPECT_EQ(ntdll::GetThreadId(thread), id); // the id outlives the thread's run
    CloseHandle(thread);
    EXPECT_EQ(ntdll::GetThreadId(nullptr), 0u);
    EXPECT_EQ(ntdll::GetThreadId(reinterpret_cast<void *>(0x1234)), 0u);
}

TEST(NtdllThreads, MainThreadIsTheFirstOfTheSnapshot) {
    // The tests run on the program's first thread.
    EXPECT_EQ(ntdll::QueryMainThreadId(GetCurrentProcessId()), GetCurrentThreadId());
    EXPECT_EQ(ntdll::QueryMainThreadId(0xFFFFFFF0u), 0u);
}

TEST(NtdllSession, SessionOnlyReadsNoNames) {
    unsigned long session = 0xFFFF;
    EXPECT_EQ(ntdll::QuerySessionInfo(GetCurrentProcess(), &session, nullptr, 0, nullptr, 0), 1);
    DWORD expected = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &expected));
    EXPECT_EQ(session, expected);
    EXPECT_EQ(ntdll::QuerySessionInfo(GetCurrentProcess(), nullptr, nullptr, 0, nullptr, 0), 1);
    EXPECT_EQ(ntdll::QuerySessionInfo(nullptr, &session, nullptr, 0, nullptr, 0), 0);
}

TEST(NtdllSession, NamesNeedRoomForTheirTerminator) {
    wchar_t expected[256];
    DWORD length = 256;
    ASSERT_TRUE(GetUserNameW(expected, &length));
    std::wstring const user_name(expected);

    wchar_t user[256];
    wchar_t domain[256];
    unsigned long session = 0;
    ASSERT_EQ(ntdll::QuerySessionInfo(GetCurrentProcess(), &session, domain, 256, user, 256), 1);
    EXPECT_TRUE(same_path(user, user_name)) << narrow(user);
    std::wstring const domain_name = domain;
    EXPECT_FALSE(domain_name.empty());

    unsigned long const fits = static_cast<unsigned long>(user_name.size() + 1);
    EXPECT_EQ(ntdll::QuerySessionInfo(GetCurrentProcess(), nullptr, nullptr, 0, user, fits), 1);
    EXPECT_EQ(ntdll::QuerySessionInfo(GetCurrentProcess(), nullptr, nullptr, 0, user, fits - 1), 0);
    unsigned long const domain_fits = static_cast<unsigned long>(domain_name.size() + 1);
    EXPECT_EQ(
        ntdll::QuerySessionInfo(GetCurrentProcess(), nullptr, domain, domain_fits, nullptr, 0), 1);
    EXPECT_EQ(
        ntdll::QuerySessionInfo(GetCurrentProcess(), nullptr, domain, domain_fits - 1, nullptr, 0),
        0);
    EXPECT_EQ(std::wstring(domain), domain_name);
}

// ---------------------------------------------------------------------------
// Image paths
// ---------------------------------------------------------------------------

TEST(NtdllImagePath, ZDriveImageKeepsItsDeviceForm) {
    std::wstring const device = raw_image_path();
    ASSERT_EQ(device.compare(0, 8, L"\\Device\\"), 0) << narrow(device);
    EXPECT_EQ(own_image_path(), device);
    char narrow_path[MAX_PATH * 2];
    ASSERT_EQ(ntdll::GetProcessFileNameA(GetCurrentProcess(), narrow_path, MAX_PATH * 2), 1);
    EXPECT_EQ(std::string(narrow_path), narrow(device));
}

TEST(NtdllImagePath, BuffersThatCannotHoldThePath) {
    std::wstring const device = raw_image_path();
    wchar_t wide[8];
    char small[8];
    EXPECT_EQ(ntdll::GetProcessFileNameW(GetCurrentProcess(), wide, 8), 0);
    EXPECT_EQ(ntdll::GetProcessFileNameA(GetCurrentProcess(), small, 8), 0);
    EXPECT_EQ(ntdll::GetProcessFileNameA(GetCurrentProcess(), nullptr, 100), 0);
    EXPECT_EQ(ntdll::GetProcessFileNameA(GetCurrentProcess(), small, 0), 0);
    EXPECT_EQ(ntdll::GetProcessFileNameA(nullptr, small, 8), 0);
    std::vector<wchar_t> exact(device.size() + 1);
    EXPECT_EQ(ntdll::GetProcessFileNameW(GetCurrentProcess(), exact.data(),
                                         static_cast<unsigned long>(exact.size())),
              1);
}

TEST(NtdllImagePath, DriveLetterReplacesTheDevicePart) {
    std::wstring const device = raw_image_path();
    // The device part of the path up to the second folder, e.g.
    // \Device\HarddiskVolume2\work, mapped as a drive of its own.
    std::size_t volume_end = device.find(L'\\', 8);
    ASSERT_NE(volume_end, std::wstring::npos);
    std::size_t folder_end = device.find(L'\\', volume_end + 1);
    ASSERT_NE(folder_end, std::wstring::npos);
    std::wstring const target = device.substr(0, folder_end);
    ScopedDrive drive(target);
    ASSERT_FALSE(drive.drive().empty());
    EXPECT_EQ(own_image_path(), drive.drive() + device.substr(folder_end));
    char path[MAX_PATH * 2];
    ASSERT_EQ(ntdll::GetProcessFileNameA(GetCurrentProcess(), path, MAX_PATH * 2), 1);
    EXPECT_EQ(std::string(path), narrow(drive.drive() + device.substr(folder_end)));
}

// \Device\HarddiskVolume1 is no prefix of \Device\HarddiskVolume10\x: a
// device name that ends inside a path component does not match.
TEST(NtdllImagePath, PartialComponentNeverMatches) {
    std::wstring const device = raw_image_path();
    std::size_t volume_end = device.find(L'\\', 8);
    std::size_t folder_end = device.find(L'\\', volume_end + 1);
    ASSERT_NE(folder_end, std::wstring::npos);
    ScopedDrive partial(device.substr(0, folder_end - 1));
    ASSERT_FALSE(partial.drive().empty());
    EXPECT_EQ(own_image_path(), device);
}

TEST(NtdllImagePath, ProgramOnDriveCGetsItsDriveLetter) {
    TempFolder folder(L"zem_ntdll");
    ASSERT_TRUE(zem::vfs::test::copy_child(L"child_ntdll", folder.path(), L"child_ntdll.exe"));
    ChildResult child = zem::vfs::test::run_child(folder.file(L"child_ntdll.exe"));
    ASSERT_TRUE(child.finished);
    std::wstring const expected = folder.file(L"child_ntdll.exe");
    ASSERT_EQ(expected.compare(0, 3, L"C:\\"), 0) << narrow(expected);
    EXPECT_TRUE(same_path(zem::vfs::test::widen(child.value("a")), expected)) << child.output;
    EXPECT_TRUE(same_path(zem::vfs::test::widen(child.value("w")), expected)) << child.output;
}

TEST(NtdllImagePath, NonAsciiFolderInTheWideForm) {
    TempFolder folder(L"zem_ntdll");
    std::wstring const sub = folder.file(L"Gr\u00FC\u00DFe \u65E5\u672C");
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    ASSERT_TRUE(zem::vfs::test::copy_child(L"child_ntdll", sub, L"child_ntdll.exe"));
    ChildResult child = zem::vfs::test::run_child(sub + L"\\child_ntdll.exe");
    ASSERT_TRUE(child.finished);
    EXPECT_TRUE(same_path(zem::vfs::test::widen(child.value("w")), sub + L"\\child_ntdll.exe"))
        << child.output;
}

// ---------------------------------------------------------------------------
// Export look-up
// ---------------------------------------------------------------------------

TEST(NtdllExports, AnswerInsideTheModuleIsKept) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    for (char const *name : {"GetCurrentProcessId", "Sleep", "GetProcAddress"}) {
        FARPROC system = GetProcAddress(kernel32, name);
        ASSERT_NE(system, nullptr) << name;
        EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, name), system) << name;
    }
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, "NoSuchExportAnywhere"), nullptr);
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, nullptr), nullptr);
    EXPECT_EQ(ntdll::GetProcAddressEx(nullptr, "Sleep"), nullptr);
}

TEST(NtdllExports, ForwardedExportGivesTheModulesOwnEntry) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    Forwarded forwarded = find_forwarded(kernel32);
    ASSERT_FALSE(forwarded.name.empty()) << "kernel32 forwards nothing here";
    FARPROC system = GetProcAddress(kernel32, forwarded.name.c_str());
    ASSERT_NE(system, nullptr);
    MODULEINFO info;
    ASSERT_TRUE(GetModuleInformation(GetCurrentProcess(), kernel32, &info, sizeof info));
    auto base = reinterpret_cast<char const *>(kernel32);
    auto answer = reinterpret_cast<char const *>(system);
    ASSERT_FALSE(answer > base && answer < base + info.SizeOfImage) << forwarded.name;

    FARPROC own = ntdll::GetProcAddressEx(kernel32, forwarded.name.c_str());
    EXPECT_EQ(reinterpret_cast<char const *>(own), forwarded.forwarder) << forwarded.name;
    EXPECT_NE(std::strchr(forwarded.forwarder, '.'), nullptr); // "DLL.Function"
    // The same entry by ordinal.
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, MAKEINTRESOURCEA(forwarded.ordinal)), own);
    // Names compare exactly: another case is not the export.
    std::string other_case = forwarded.name;
    other_case[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(other_case[0])));
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, other_case.c_str()), nullptr);
}

// ---------------------------------------------------------------------------
// Objects, PEB, packages
// ---------------------------------------------------------------------------

TEST(NtdllObjects, QueryObjectPassesTheStatusThrough) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    unsigned char buffer[512] = {};
    unsigned long returned = 0;
    EXPECT_EQ(ntdll::QueryObject(event, ObjectTypeInformation, buffer, sizeof buffer, &returned),
              0);
    EXPECT_GT(returned, 0u);
    auto type = reinterpret_cast<UNICODE_STRING const *>(buffer);
    EXPECT_EQ(std::wstring(type->Buffer, type->Length / 2), L"Event");
    CloseHandle(event);
    EXPECT_LT(ntdll::QueryObject(reinterpret_cast<HANDLE>(0x7FFC), ObjectTypeInformation, buffer,
                                 sizeof buffer, &returned),
              0);
}

TEST(NtdllObjects, ProcessEnvironmentBlock) {
    _PEB *peb = ntdll::GetPEBAddress(GetCurrentProcess());
    ASSERT_NE(peb, nullptr);
    // The block holds this process's parameters: its command line.
    ASSERT_NE(peb->ProcessParameters, nullptr);
    UNICODE_STRING const &line = peb->ProcessParameters->CommandLine;
    EXPECT_EQ(std::wstring(line.Buffer, line.Length / 2), std::wstring(GetCommandLineW()));
    EXPECT_EQ(ntdll::GetPEBAddress(nullptr), nullptr);
}

TEST(NtdllObjects, UnpackagedProcessHasNoPackageName) {
    EXPECT_EQ(ntdll::GetPackageFullName(GetCurrentProcess()), L"");
    EXPECT_EQ(ntdll::GetPackageFullName(nullptr), L"");
}
