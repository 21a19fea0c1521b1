// Wine maps the build folder only as Z:, which is never tried, so this program
// keeps its device-form image path; copies on C: show the drive-letter form.
#include "sys/Ntdll.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>
#include <psapi.h>

#include <cstring>
#include <string>

namespace ntdll = zem::vfs::ntdll;
using namespace zem::vfs::test;

namespace {

bool same_path(std::wstring const &a, std::wstring const &b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring own_path() {
    wchar_t path[MAX_PATH * 2];
    return ntdll::GetProcessFileNameW(GetCurrentProcess(), path, MAX_PATH * 2) ? path : L"?";
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
        DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                         drive.c_str(), target.c_str());
    }
    std::wstring target, drive;
};

} // namespace

TEST(Ntdll, StateThreadsAndSession) {
    EXPECT_EQ(ntdll::Is64System(), 1);
    EXPECT_EQ(ntdll::IsWow64Process(nullptr), 0);
    EXPECT_EQ(ntdll::GetSysWow64Directory(), nullptr); // a 64-bit process
    EXPECT_EQ(ntdll::IsEnableFsRedirection(), 0);
    wchar_t expected[MAX_PATH];
    UINT n = GetSystemDirectoryW(expected, MAX_PATH);
    ASSERT_NE(ntdll::GetSysDirectory(), nullptr);
    EXPECT_EQ(ntdll::GetSysDirectory(), std::wstring(expected, n) + L"\\");
    EXPECT_EQ(ntdll::GetThreadId(GetCurrentThread()), GetCurrentThreadId());
    DWORD id = 0;
    Handle thread(CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, &id));
    WaitForSingleObject(thread.get(), INFINITE);
    EXPECT_EQ(ntdll::GetThreadId(thread.get()), id); // also after it ended
    EXPECT_EQ(ntdll::GetThreadId(nullptr), 0u);
    EXPECT_EQ(ntdll::QueryMainThreadId(GetCurrentProcessId()), GetCurrentThreadId());
    EXPECT_EQ(ntdll::QueryMainThreadId(0xFFFFFFF0u), 0u);

    HANDLE self = GetCurrentProcess();
    unsigned long session = 0xFFFF;
    DWORD expected_session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &expected_session));
    EXPECT_EQ(ntdll::QuerySessionInfo(self, &session, nullptr, 0, nullptr, 0), 1);
    EXPECT_EQ(session, expected_session);
    EXPECT_EQ(ntdll::QuerySessionInfo(nullptr, &session, nullptr, 0, nullptr, 0), 0);
    wchar_t user[256], domain[256];
    DWORD length = 256;
    ASSERT_TRUE(GetUserNameW(expected, &length));
    ASSERT_EQ(ntdll::QuerySessionInfo(self, nullptr, domain, 256, user, 256), 1);
    EXPECT_TRUE(same_path(user, expected) && domain[0] != 0);
    // A name of exactly the buffer's size leaves no room for the NUL.
    auto const user_size = static_cast<unsigned long>(std::wcslen(user) + 1);
    EXPECT_EQ(ntdll::QuerySessionInfo(self, nullptr, nullptr, 0, user, user_size), 1);
    EXPECT_EQ(ntdll::QuerySessionInfo(self, nullptr, nullptr, 0, user, user_size - 1), 0);
}

TEST(Ntdll, ImagePaths) {
    wchar_t raw[MAX_PATH * 2];
    std::wstring const device(raw,
                              GetProcessImageFileNameW(GetCurrentProcess(), raw, MAX_PATH * 2));
    ASSERT_EQ(device.compare(0, 8, L"\\Device\\"), 0) << narrow(device);
    EXPECT_EQ(own_path(), device); // the Z: drive is never tried
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

    // \Device\HarddiskVolume2\work\... with \Device\HarddiskVolume2\work as a drive.
    std::size_t const cut = device.find(L'\\', device.find(L'\\', 8) + 1);
    ASSERT_NE(cut, std::wstring::npos);
    {
        ScopedDrive drive(zem::vfs::Utility::to_upper(device.substr(0, cut))); // any case
        ASSERT_FALSE(drive.drive.empty());
        EXPECT_EQ(own_path(), drive.drive + device.substr(cut));
        ASSERT_EQ(ntdll::GetProcessFileNameA(GetCurrentProcess(), path, MAX_PATH * 2), 1);
        EXPECT_EQ(std::string(path), narrow(drive.drive + device.substr(cut)));
    }
    // \Device\HarddiskVolume1 is no prefix of \Device\HarddiskVolume10\x.
    ScopedDrive partial(device.substr(0, cut - 1));
    ASSERT_FALSE(partial.drive.empty());
    EXPECT_EQ(own_path(), device);

    // Programs on drive C:, one in a folder with non-ASCII characters.
    TempFolder folder(L"zem_ntdll");
    std::wstring const sub = folder.file(L"Gr\u00FC\u00DFe \u65E5\u672C");
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    ASSERT_TRUE(copy_child(L"child_sys", folder.path(), L"child.exe"));
    ASSERT_TRUE(copy_child(L"child_sys", sub, L"child.exe"));
    ASSERT_EQ(folder.path().compare(0, 3, L"C:\\"), 0) << narrow(folder.path());
    ChildResult plain = run_child(folder.file(L"child.exe"), L"path");
    EXPECT_TRUE(same_path(widen(plain.value("a")), folder.file(L"child.exe"))) << plain.output;
    EXPECT_TRUE(same_path(widen(plain.value("w")), folder.file(L"child.exe"))) << plain.output;
    ChildResult unicode = run_child(sub + L"\\child.exe", L"path");
    EXPECT_TRUE(same_path(widen(unicode.value("w")), sub + L"\\child.exe")) << unicode.output;
}

// An answer inside the module is kept; a forwarded export gives the module's
// own table entry, the forwarder text ("NTDLL.RtlAcquireSRWLockExclusive").
TEST(Ntdll, ExportsObjectsAndThePeb) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    for (char const *name : {"GetCurrentProcessId", "Sleep", "GetProcAddress"})
        EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, name), GetProcAddress(kernel32, name)) << name;
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, "NoSuchExportAnywhere"), nullptr);
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, nullptr), nullptr);
    EXPECT_EQ(ntdll::GetProcAddressEx(nullptr, "Sleep"), nullptr);
    auto base = reinterpret_cast<unsigned char const *>(kernel32);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS64 const *>(
        base + reinterpret_cast<IMAGE_DOS_HEADER const *>(base)->e_lfanew);
    IMAGE_DATA_DIRECTORY const &dir = nt->OptionalHeader.DataDirectory[0];
    auto exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY const *>(base + dir.VirtualAddress);
    auto functions = reinterpret_cast<DWORD const *>(base + exports->AddressOfFunctions);
    auto names = reinterpret_cast<DWORD const *>(base + exports->AddressOfNames);
    auto ordinals = reinterpret_cast<WORD const *>(base + exports->AddressOfNameOrdinals);
    DWORD i = 0;
    while (i < exports->NumberOfNames &&
           std::strcmp(reinterpret_cast<char const *>(base + names[i]), "AcquireSRWLockExclusive"))
        ++i;
    ASSERT_LT(i, exports->NumberOfNames);
    char const *forwarder = reinterpret_cast<char const *>(base + functions[ordinals[i]]);
    ASSERT_TRUE(forwarder > reinterpret_cast<char const *>(exports) &&
                forwarder < reinterpret_cast<char const *>(base + dir.VirtualAddress + dir.Size))
        << "not forwarded here";
    FARPROC own = ntdll::GetProcAddressEx(kernel32, "AcquireSRWLockExclusive");
    EXPECT_EQ(reinterpret_cast<char const *>(own), forwarder);
    EXPECT_NE(reinterpret_cast<void *>(own), GetProcAddress(kernel32, "AcquireSRWLockExclusive"));
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, MAKEINTRESOURCEA(exports->Base + ordinals[i])),
              own);
    EXPECT_EQ(ntdll::GetProcAddressEx(kernel32, "acquireSRWLockExclusive"), nullptr); // exact names

    Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    unsigned char buffer[512] = {};
    auto type = reinterpret_cast<UNICODE_STRING *>(buffer);
    EXPECT_EQ(ntdll::QueryObject(event.get(), ObjectTypeInformation, buffer, 512, nullptr), 0);
    EXPECT_EQ(std::wstring(type->Buffer, type->Length / 2), L"Event");
    ntdll::RtlInitUnicodeString(type, L"Quillon");
    EXPECT_EQ(type->Length, 14);
    _PEB *peb = ntdll::GetPEBAddress(GetCurrentProcess());
    ASSERT_NE(peb, nullptr);
    ASSERT_NE(peb->ProcessParameters, nullptr); // this process's own parameters
    UNICODE_STRING const &line = peb->ProcessParameters->CommandLine;
    EXPECT_EQ(std::wstring(line.Buffer, line.Length / 2), std::wstring(GetCommandLineW()));
    EXPECT_EQ(ntdll::GetPEBAddress(nullptr), nullptr);
    EXPECT_EQ(ntdll::GetPackageFullName(GetCurrentProcess()), L""); // not packaged
}
