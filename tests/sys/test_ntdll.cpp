// The native helpers. Wine maps the build folder only as Z:, which is never
// tried, so this program keeps its device-form image path; copies of
// child_ntdll.exe on C: and drive letters defined for a test show the
// drive-letter form.
#include "../../common/sys/Ntdll.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>
#include <psapi.h>

#include <cctype>
#include <cstring>
#include <string>

namespace ntdll = zem::vfs::ntdll;
using namespace zem::vfs::test;

namespace {

bool same_path(std::wstring const &a, std::wstring const &b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring device_path() {
    wchar_t path[MAX_PATH * 2];
    return std::wstring(path, GetProcessImageFileNameW(GetCurrentProcess(), path, MAX_PATH * 2));
}

std::wstring own_path() {
    wchar_t path[MAX_PATH * 2];
    if (!ntdll::GetProcessFileNameW(GetCurrentProcess(), path, MAX_PATH * 2))
        return L"<failed>";
    return path;
}

// A free drive letter defined as a raw device path for the length of a test.
struct ScopedDrive {
    explicit ScopedDrive(std::wstring const &to) : target(to) {
        for (wchar_t letter = L'Y'; letter >= L'D' && drive.empty(); --letter) {
            wchar_t const name[3] = {letter, L':', 0};
            wchar_t device[MAX_PATH];
            if (QueryDosDeviceW(name, device, MAX_PATH) == 0 &&
                DefineDosDeviceW(DDD_RAW_TARGET_PATH, name, target.c_str()))
                drive = name;
        }
    }
    ~ScopedDrive() {
        if (!drive.empty())
            DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION |
                                 DDD_EXACT_MATCH_ON_REMOVE,
                             drive.c_str(), target.c_str());
    }
    std::wstring target, drive;
};

// An export that the module forwards to another DLL: its table entry points
// at the forwarder text ("NTDLL.RtlAcquireSRWLockExclusive").
struct Forwarded {
    std::string name;
    WORD ordinal = 0;
    char const *forwarder = nullptr;
};

Forwarded find_forwarded(HMODULE module) {
    auto base = reinterpret_cast<unsigned char const *>(module);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS64 const *>(
        base + reinterpret_cast<IMAGE_DOS_HEADER const *>(base)->e_lfanew);
    IMAGE_DATA_DIRECTORY const &dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY const *>(base + dir.VirtualAddress);
    auto functions = reinterpret_cast<DWORD const *>(base + exports->AddressOfFunctions);
    auto names = reinterpret_cast<DWORD const *>(base + exports->AddressOfNames);
    auto ordinals = reinterpret_cast<WORD const *>(base + exports->AddressOfNameOrdinals);
    Forwarded found;
    for (DWORD i = 0; i < exports->NumberOfNames && found.name != "AcquireSRWLockExclusive"; ++i) {
        DWORD rva = functions[ordinals[i]];
        if (rva >= dir.VirtualAddress && rva < dir.VirtualAddress + dir.Size) {
            found.name = reinterpret_cast<char const *>(base + names[i]);
            found.ordinal = static_cast<WORD>(exports->Base + ordinals[i]);
            found.forwarder = reinterpret_cast<char const *>(base + rva);
        }
    }
    return found;
}

} // namespace

TEST(NtdllSystem, StateReadAtLoad) {
    EXPECT_EQ(ntdll::Is64System(), 1);
    for (void *process : {static_cast<void *>(nullptr), static_cast<void *>(GetCurrentProcess()),
                          reinterpret_cast<void *>(0x1234)})
        EXPECT_EQ(ntdll::IsWow64Process(process), 0);
    EXPECT_EQ(ntdll::GetSysWow64Directory(), nullptr); // a 64-bit process
    EXPECT_EQ(ntdll::IsEnableFsRedirection(), 0);
    wchar_t expected[MAX_PATH];
    UINT n = GetSystemDirectoryW(expected, MAX_PATH);
    ASSERT_NE(ntdll::GetSysDirectory(), nullptr);
    EXPECT_EQ(std::wstring(ntdll::GetSysDirectory()), std::wstring(expected, n) + L"\\");

    UNICODE_STRING s = {};
    wchar_t const text[] = L"Quillon";
    ntdll::RtlInitUnicodeString(&s, text);
    EXPECT_TRUE(s.Length == 14 && s.MaximumLength == 16 && s.Buffer == text);
}

TEST(NtdllThreads, ThreadIdsAndTheMainThread) {
    EXPECT_EQ(ntdll::GetThreadId(GetCurrentThread()), GetCurrentThreadId());
    DWORD id = 0;
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(ntdll::GetThreadId(thread), id);
    ResumeThread(thread);
    WaitForSingleObject(thread, INFINITE);
    EXPECT_EQ(ntdll::GetThreadId(thread), id); // also after it ended
    CloseHandle(thread);
    EXPECT_EQ(ntdll::GetThreadId(nullptr), 0u);
    // The tests run on the program's first thread.
    EXPECT_EQ(ntdll::QueryMainThreadId(GetCurrentProcessId()), GetCurrentThreadId());
    EXPECT_EQ(ntdll::QueryMainThreadId(0xFFFFFFF0u), 0u);
}

TEST(NtdllSession, SessionAndNames) {
    HANDLE self = GetCurrentProcess();
    unsigned long session = 0xFFFF;
    DWORD expected_session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &expected_session));
    EXPECT_EQ(ntdll::QuerySessionInfo(self, &session, nullptr, 0, nullptr, 0), 1);
    EXPECT_EQ(session, expected_session);
    EXPECT_EQ(ntdll::QuerySessionInfo(self, nullptr, nullptr, 0, nullptr, 0), 1);
    EXPECT_EQ(ntdll::QuerySessionInfo(nullptr, &session, nullptr, 0, nullptr, 0), 0);

    wchar_t user[256], domain[256], expected[256];
    DWORD length = 256;
    ASSERT_TRUE(GetUserNameW(expected, &length));
    ASSERT_EQ(ntdll::QuerySessionInfo(self, nullptr, domain, 256, user, 256), 1);
    EXPECT_TRUE(same_path(user, expected));
    std::wstring const user_name = user, domain_name = domain;
    ASSERT_FALSE(domain_name.empty());
    // A name of exactly the buffer's size leaves no room for the NUL.
    auto fit = [](std::wstring const &s) { return static_cast<unsigned long>(s.size() + 1); };
    EXPECT_EQ(ntdll::QuerySessionInfo(self, nullptr, nullptr, 0, user, fit(user_name)), 1);
    EXPECT_EQ(ntdll::QuerySessionInfo(self, nullptr, nullptr, 0, user, fit(user_name) - 1), 0);
    EXPECT_EQ(ntdll::QuerySessionInfo(self, nullptr, domain, fit(domain_name), nullptr, 0), 1);
    EXPECT_EQ(ntdll::QuerySessionInfo(self, nullptr, domain, fit(domain_name) - 1, nullptr, 0), 0);
}

TEST(NtdllImagePath, ZDriveImageKeepsItsDeviceForm) {
    std::wstring const device = device_path();
    ASSERT_EQ(device.compare(0, 8, L"\\Device\\"), 0) << narrow(device);
    EXPECT_EQ(own_path(), device);
    char path[MAX_PATH * 2], small[8];
    ASSERT_EQ(ntdll::GetProcessFileNameA(GetCurrentProcess(), path, MAX_PATH * 2), 1);
    EXPECT_EQ(std::string(path), narrow(device));
    // Buffers that cannot hold the path, and no process.
    EXPECT_EQ(ntdll::GetProcessFileNameA(GetCurrentProcess(), small, sizeof small), 0);
    EXPECT_EQ(ntdll::GetProcessFileNameA(GetCurrentProcess(), nullptr, 100), 0);
    EXPECT_EQ(ntdll::GetProcessFileNameA(GetCurrentProcess(), small, 0), 0);
    EXPECT_EQ(ntdll::GetProcessFileNameA(nullptr, path, MAX_PATH * 2), 0);
    std::wstring exact(device.size() + 1, L'\0');
    EXPECT_EQ(ntdll::GetProcessFileNameW(GetCurrentProcess(), &exact[0],
                                         static_cast<unsigned long>(exact.size())),
              1);
}

TEST(NtdllImagePath, DriveLetterReplacesTheDevicePart) {
    // \Device\HarddiskVolume2\work\... with \Device\HarddiskVolume2\work as a drive.
    std::wstring const device = device_path();
    std::size_t const cut = device.find(L'\\', device.find(L'\\', 8) + 1);
    ASSERT_NE(cut, std::wstring::npos);
    {
        ScopedDrive drive(device.substr(0, cut));
        ASSERT_FALSE(drive.drive.empty());
        EXPECT_EQ(own_path(), drive.drive + device.substr(cut));
        char path[MAX_PATH * 2];
        ASSERT_EQ(ntdll::GetProcessFileNameA(GetCurrentProcess(), path, MAX_PATH * 2), 1);
        EXPECT_EQ(std::string(path), narrow(drive.drive + device.substr(cut)));
    }
    // A device name that ends inside a component is no prefix of the path:
    // \Device\HarddiskVolume1 must not take \Device\HarddiskVolume10\x.
    ScopedDrive partial(device.substr(0, cut - 1));
    ASSERT_FALSE(partial.drive.empty());
    EXPECT_EQ(own_path(), device);
}

TEST(NtdllImagePath, ProgramOnDriveCGetsItsDriveLetter) {
    TempFolder folder(L"zem_ntdll");
    std::wstring const sub = folder.file(L"Gr\u00FC\u00DFe \u65E5\u672C");
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    ASSERT_TRUE(copy_child(L"child_ntdll", folder.path(), L"child_ntdll.exe"));
    ASSERT_TRUE(copy_child(L"child_ntdll", sub, L"child_ntdll.exe"));
    ChildResult plain = run_child(folder.file(L"child_ntdll.exe"));
    std::wstring const expected = folder.file(L"child_ntdll.exe");
    ASSERT_EQ(expected.compare(0, 3, L"C:\\"), 0) << narrow(expected);
    EXPECT_TRUE(same_path(widen(plain.value("a")), expected)) << plain.output;
    EXPECT_TRUE(same_path(widen(plain.value("w")), expected)) << plain.output;
    ChildResult unicode = run_child(sub + L"\\child_ntdll.exe");
    EXPECT_TRUE(same_path(widen(unicode.value("w")), sub + L"\\child_ntdll.exe")) << unicode.output;
}

// An answer inside the module is kept; a forwarded export gives the module's
// own table entry, the forwarder text.
TEST(NtdllExports, OwnEntriesAndForwarders) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    for (char const *name : {"GetCurrentProcessId", "Sleep", "GetProcAddress"})
        EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, name), GetProcAddress(kernel32, name)) << name;
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, "NoSuchExportAnywhere"), nullptr);
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, nullptr), nullptr);
    EXPECT_EQ(ntdll::GetProcAddressEx(nullptr, "Sleep"), nullptr);
    Forwarded forwarded = find_forwarded(kernel32);
    ASSERT_FALSE(forwarded.name.empty()) << "kernel32 forwards nothing here";
    MODULEINFO info;
    ASSERT_TRUE(GetModuleInformation(GetCurrentProcess(), kernel32, &info, sizeof info));
    auto base = reinterpret_cast<char const *>(kernel32);
    auto system = reinterpret_cast<char const *>(GetProcAddress(kernel32, forwarded.name.c_str()));
    ASSERT_NE(system, nullptr);
    ASSERT_FALSE(system > base && system < base + info.SizeOfImage) << forwarded.name;

    FARPROC own = ntdll::GetProcAddressEx(kernel32, forwarded.name.c_str());
    EXPECT_EQ(reinterpret_cast<char const *>(own), forwarded.forwarder) << forwarded.name;
    EXPECT_NE(std::strchr(forwarded.forwarder, '.'), nullptr); // "DLL.Function"
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, MAKEINTRESOURCEA(forwarded.ordinal)), own);
    std::string other_case = forwarded.name; // names compare exactly
    other_case[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(other_case[0])));
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, other_case.c_str()), nullptr);
}

TEST(NtdllObjects, ObjectPebAndPackage) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    unsigned char buffer[512] = {};
    unsigned long returned = 0;
    EXPECT_EQ(ntdll::QueryObject(event, ObjectTypeInformation, buffer, sizeof buffer, &returned),
              0);
    auto type = reinterpret_cast<UNICODE_STRING const *>(buffer);
    EXPECT_EQ(std::wstring(type->Buffer, type->Length / 2), L"Event");
    CloseHandle(event);
    EXPECT_LT(ntdll::QueryObject(reinterpret_cast<HANDLE>(0x7FFC), ObjectTypeInformation, buffer,
                                 sizeof buffer, &returned),
              0);

    _PEB *peb = ntdll::GetPEBAddress(GetCurrentProcess());
    ASSERT_NE(peb, nullptr);
    ASSERT_NE(peb->ProcessParameters, nullptr); // this process's own parameters
    UNICODE_STRING const &line = peb->ProcessParameters->CommandLine;
    EXPECT_EQ(std::wstring(line.Buffer, line.Length / 2), std::wstring(GetCommandLineW()));
    EXPECT_EQ(ntdll::GetPEBAddress(nullptr), nullptr);

    EXPECT_EQ(ntdll::GetPackageFullName(GetCurrentProcess()), L""); // not packaged
}
