// Native helpers. The optional system functions are looked up once, while the
// library loads (or by the first helper that needs them, whichever comes
// first), and only read afterwards.
#include "Ntdll.h"

#include <windows.h>

#include <winternl.h>

#include "internal/Ntdll.h"
#include "internal/Handles.h"
#include "internal/NoThrow.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

namespace zem {
namespace vfs {

namespace {

typedef VOID(NTAPI *RtlInitUnicodeStringFn)(PUNICODE_STRING, PCWSTR);
typedef NTSTATUS(NTAPI *NtQueryInformationThreadFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
typedef NTSTATUS(NTAPI *NtQueryInformationProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
typedef NTSTATUS(NTAPI *NtQueryObjectFn)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
typedef BOOL(WINAPI *IsWow64ProcessFn)(HANDLE, PBOOL);
typedef BOOL(WINAPI *Wow64DisableFn)(PVOID *);
typedef BOOL(WINAPI *Wow64RevertFn)(PVOID);
typedef DWORD(WINAPI *GetThreadIdFn)(HANDLE);
typedef LONG(WINAPI *GetPackageFullNameFn)(HANDLE, UINT32 *, PWSTR);

// The basic thread information of NtQueryInformationThread (class 0).
struct ThreadBasicInformation {
    NTSTATUS exit_status;
    PVOID teb;
    PVOID unique_process;
    PVOID unique_thread;
    ULONG_PTR affinity;
    LONG priority;
    LONG base_priority;
};

const ULONG kThreadBasicInformation = 0;
const ULONG kProcessBasicInformation = 0;
const NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002L);

template <class F> F lookup(HMODULE module, char const *name) {
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<F>(reinterpret_cast<void *>(::GetProcAddress(module, name)));
}

// Everything the helpers read: written by the constructor, constant after.
struct OsState {
    RtlInitUnicodeStringFn rtl_init_unicode_string;
    NtQueryInformationThreadFn nt_query_information_thread;
    NtQueryInformationProcessFn nt_query_information_process;
    NtQueryObjectFn nt_query_object;
    IsWow64ProcessFn is_wow64_process;
    Wow64DisableFn wow64_disable;
    Wow64RevertFn wow64_revert;
    GetThreadIdFn get_thread_id;
    GetPackageFullNameFn get_package_full_name;
    std::wstring system_directory;
    std::wstring wow64_directory;
    int is_64_system;
    int redirection_control;

    OsState() {
        HMODULE nt = GetModuleHandleW(L"ntdll.dll");
        HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
        rtl_init_unicode_string = lookup<RtlInitUnicodeStringFn>(nt, "RtlInitUnicodeString");
        nt_query_information_thread =
            lookup<NtQueryInformationThreadFn>(nt, "NtQueryInformationThread");
        nt_query_information_process =
            lookup<NtQueryInformationProcessFn>(nt, "NtQueryInformationProcess");
        nt_query_object = lookup<NtQueryObjectFn>(nt, "NtQueryObject");
        is_wow64_process = lookup<IsWow64ProcessFn>(k32, "IsWow64Process");
        wow64_disable = lookup<Wow64DisableFn>(k32, "Wow64DisableWow64FsRedirection");
        wow64_revert = lookup<Wow64RevertFn>(k32, "Wow64RevertWow64FsRedirection");
        get_thread_id = lookup<GetThreadIdFn>(k32, "GetThreadId");
        get_package_full_name = lookup<GetPackageFullNameFn>(k32, "GetPackageFullName");

        system_directory = detail::no_throw(std::wstring(), [] {
            wchar_t directory[MAX_PATH];
            UINT n = GetSystemDirectoryW(directory, MAX_PATH);
            return n > 0 && n < MAX_PATH ? std::wstring(directory, n) + L"\\" : std::wstring();
        });

        SYSTEM_INFO info;
        GetNativeSystemInfo(&info);
        is_64_system = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                               info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64
                           ? 1
                           : 0;

        redirection_control = 0;
        BOOL wow64 = FALSE;
        if (is_wow64_process != nullptr && is_wow64_process(GetCurrentProcess(), &wow64) && wow64) {
            wow64_directory = detail::no_throw(std::wstring(), [] {
                wchar_t windows[MAX_PATH];
                UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
                return n > 0 && n < MAX_PATH ? std::wstring(windows, n) + L"\\SysWOW64\\"
                                             : std::wstring();
            });
            // Redirection can be controlled when switching it off twice
            // reports, the second time, that it was already off (1).
            if (wow64_disable != nullptr && wow64_revert != nullptr) {
                PVOID first = nullptr;
                PVOID second = nullptr;
                BOOL first_ok = wow64_disable(&first);
                if (wow64_disable(&second))
                    redirection_control = second == reinterpret_cast<PVOID>(1) ? 1 : 0;
                if (first_ok)
                    wow64_revert(first);
            }
        }
    }
};

OsState const &os() {
    static OsState const state;
    return state;
}

template <class C> C ascii_upper(C c) {
    return c >= 'a' && c <= 'z' ? C(c - 'a' + 'A') : c;
}

template <class C> std::size_t text_length(C const *text, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit && text[n] != 0)
        ++n;
    return n;
}

DWORD image_file_name(HANDLE process, char *buffer, DWORD size) {
    return GetProcessImageFileNameA(process, buffer, size);
}
DWORD image_file_name(HANDLE process, wchar_t *buffer, DWORD size) {
    return GetProcessImageFileNameW(process, buffer, size);
}
DWORD dos_device(char const *drive, char *buffer, DWORD size) {
    return QueryDosDeviceA(drive, buffer, size);
}
DWORD dos_device(wchar_t const *drive, wchar_t *buffer, DWORD size) {
    return QueryDosDeviceW(drive, buffer, size);
}

// The image path in device form, then its device part replaced by the first
// drive letter that maps it. The device name must end at a separator of the
// path: \Device\HarddiskVolume1 is no prefix of \Device\HarddiskVolume10\x.
template <class C> int process_file_name(void *process, C *buffer, unsigned long size) {
    if (buffer == nullptr || size == 0)
        return 0;
    DWORD n = image_file_name(process, buffer, size);
    if (n == 0 || n >= size)
        return 0;
    buffer[n] = 0;
    for (C letter = 'A'; letter <= 'Y'; ++letter) {
        C const drive[3] = {letter, ':', 0};
        C device[MAX_PATH];
        if (dos_device(drive, device, MAX_PATH) == 0)
            continue;
        device[MAX_PATH - 1] = 0;
        std::size_t length = text_length(device, MAX_PATH);
        if (length <= 2 || length > n)
            continue;
        std::size_t i = 0;
        while (i < length && ascii_upper(buffer[i]) == ascii_upper(device[i]))
            ++i;
        if (i != length)
            continue;
        if (buffer[length] != 0 && buffer[length] != '\\' && device[length - 1] != '\\')
            continue;
        buffer[0] = letter;
        buffer[1] = ':';
        std::memmove(buffer + 2, buffer + length, (n - length + 1) * sizeof(C));
        break;
    }
    return 1;
}

// Bounds-checked views of a loaded PE32+ image.
class Image {
public:
    explicit Image(HINSTANCE module)
        : base_(reinterpret_cast<unsigned char const *>(module)), nt_(nullptr), size_(0) {
        auto dos = reinterpret_cast<IMAGE_DOS_HEADER const *>(base_);
        if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 || dos->e_lfanew > 0x100000)
            return;
        auto nt = reinterpret_cast<IMAGE_NT_HEADERS64 const *>(base_ + dos->e_lfanew);
        if (nt->Signature != IMAGE_NT_SIGNATURE ||
            nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
            return;
        if (std::uint64_t(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) >
            nt->OptionalHeader.SizeOfImage)
            return;
        nt_ = nt;
        size_ = nt->OptionalHeader.SizeOfImage;
    }

    bool valid() const { return nt_ != nullptr; }
    unsigned char const *base() const { return base_; }

    bool inside(void const *address) const {
        auto p = static_cast<unsigned char const *>(address);
        return p > base_ && p < base_ + size_;
    }

    // A pointer to `count` items of `T` at `rva`, or null when they do not
    // lie inside the image.
    template <class T> T const *at(DWORD rva, std::uint64_t count = 1) const {
        if (rva == 0 || std::uint64_t(rva) + count * sizeof(T) > size_)
            return nullptr;
        return reinterpret_cast<T const *>(base_ + rva);
    }

    IMAGE_DATA_DIRECTORY const *directory(unsigned index) const {
        if (nt_ == nullptr || nt_->OptionalHeader.NumberOfRvaAndSizes <= index)
            return nullptr;
        return &nt_->OptionalHeader.DataDirectory[index];
    }

    // Does the NUL-terminated text at `rva` equal `name`, without reading
    // past the image?
    bool name_equals(DWORD rva, char const *name) const {
        if (rva == 0 || rva >= size_)
            return false;
        char const *text = reinterpret_cast<char const *>(base_ + rva);
        std::uint64_t room = size_ - rva;
        for (std::uint64_t i = 0; i < room; ++i) {
            if (text[i] != name[i])
                return false;
            if (text[i] == 0)
                return true;
        }
        return false;
    }

private:
    unsigned char const *base_;
    IMAGE_NT_HEADERS64 const *nt_;
    DWORD size_;
};

} // namespace

namespace detail {

void load_os_functions() {
    (void)os();
}

bool current_image_path(std::string &path) {
    path.clear();
    return detail::no_throw(false, [&] {
        std::vector<char> buffer(32768);
        if (!ntdll::GetProcessFileNameA(GetCurrentProcess(), buffer.data(),
                                        static_cast<unsigned long>(buffer.size())))
            return false;
        path = buffer.data();
        return !path.empty();
    });
}

std::string image_base_name(std::string const &path) {
    std::string::size_type slash = path.find_last_of("\\/");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string::size_type dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return name;
}

} // namespace detail

namespace ntdll {

void RtlInitUnicodeString(_UNICODE_STRING *s, wchar_t const *text) {
    if (os().rtl_init_unicode_string != nullptr)
        os().rtl_init_unicode_string(s, text);
}

int Is64System() {
    return os().is_64_system;
}

int IsWow64Process(void *process) {
    if (os().is_wow64_process == nullptr)
        return 0;
    BOOL wow64 = FALSE;
    if (!os().is_wow64_process(process != nullptr ? process : GetCurrentProcess(), &wow64))
        return 0;
    return wow64 ? 1 : 0;
}

wchar_t const *GetSysDirectory() {
    return os().system_directory.empty() ? nullptr : os().system_directory.c_str();
}

wchar_t const *GetSysWow64Directory() {
    return os().wow64_directory.empty() ? nullptr : os().wow64_directory.c_str();
}

int IsEnableFsRedirection() {
    OsState const &state = os();
    if (state.redirection_control == 0)
        return 0;
    PVOID old = nullptr;
    if (!state.wow64_disable(&old))
        return 0;
    state.wow64_revert(old);
    return old == nullptr ? 1 : 0;
}

unsigned long GetThreadId(void *thread) {
    OsState const &state = os();
    if (state.get_thread_id != nullptr)
        return state.get_thread_id(thread);
    if (state.nt_query_information_thread == nullptr)
        return 0;
    ThreadBasicInformation info;
    std::memset(&info, 0, sizeof info);
    if (state.nt_query_information_thread(thread, kThreadBasicInformation, &info, sizeof info,
                                          nullptr) < 0)
        return 0;
    return static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(info.unique_thread));
}

int GetProcessFileNameA(void *process, char *buffer, unsigned long size) {
    return process_file_name(process, buffer, size);
}

int GetProcessFileNameW(void *process, wchar_t *buffer, unsigned long size) {
    return process_file_name(process, buffer, size);
}

_PEB *GetPEBAddress(void *process) {
    if (os().nt_query_information_process == nullptr)
        return nullptr;
    PROCESS_BASIC_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    if (os().nt_query_information_process(process, kProcessBasicInformation, &info, sizeof info,
                                          nullptr) < 0)
        return nullptr;
    return info.PebBaseAddress;
}

long QueryObject(void *handle, int cls, void *buffer, unsigned long size, unsigned long *returned) {
    if (os().nt_query_object == nullptr)
        return kStatusNotImplemented;
    return os().nt_query_object(handle, static_cast<OBJECT_INFORMATION_CLASS>(cls), buffer, size,
                                returned);
}

// The form earlier clients were built against, with the class as the enum of
// <winternl.h>: kept exported for them.
ZEM_VFS_API long QueryObject(void *handle, _OBJECT_INFORMATION_CLASS cls, void *buffer,
                             unsigned long size, unsigned long *returned);
long QueryObject(void *handle, _OBJECT_INFORMATION_CLASS cls, void *buffer, unsigned long size,
                 unsigned long *returned) {
    return QueryObject(handle, static_cast<int>(cls), buffer, size, returned);
}

int QuerySessionInfo(void *process, unsigned long *session, wchar_t *domain,
                     unsigned long domain_size, wchar_t *user, unsigned long user_size) {
    detail::KernelHandle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put()))
        return 0;
    if (session != nullptr) {
        DWORD id = 0;
        DWORD returned = 0;
        if (!GetTokenInformation(token.get(), TokenSessionId, &id, sizeof id, &returned))
            return 0;
        *session = id;
    }
    if (domain == nullptr && user == nullptr)
        return 1;

    DWORD needed = 0;
    if (GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
        return 0;
    std::vector<unsigned char> buffer;
    try {
        buffer.resize(std::size_t(needed) + 8);
    } catch (...) {
        return 0;
    }
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), needed, &needed))
        return 0;
    PSID sid = reinterpret_cast<TOKEN_USER const *>(buffer.data())->User.Sid;
    wchar_t name[256];
    wchar_t domain_name[256];
    DWORD name_size = 256;
    DWORD domain_name_size = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, name, &name_size, domain_name, &domain_name_size, &use))
        return 0;
    name[255] = 0;
    domain_name[255] = 0;
    if (user != nullptr) {
        std::size_t length = text_length(name, 256);
        if (length + 1 > user_size)
            return 0;
        std::memcpy(user, name, (length + 1) * sizeof(wchar_t));
    }
    if (domain != nullptr) {
        std::size_t length = text_length(domain_name, 256);
        if (length + 1 > domain_size)
            return 0;
        std::memcpy(domain, domain_name, (length + 1) * sizeof(wchar_t));
    }
    return 1;
}

unsigned long QueryMainThreadId(unsigned long pid) {
    detail::FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot)
        return 0;
    THREADENTRY32 entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == pid && entry.th32ThreadID != 0)
            return entry.th32ThreadID;
        entry.dwSize = sizeof entry;
    }
    return 0;
}

FARPROC GetProcAddressEx(HINSTANCE module, char const *name) {
    if (module == nullptr || name == nullptr)
        return nullptr;
    FARPROC system = ::GetProcAddress(module, name);
    if (system == nullptr)
        return nullptr;
    Image image(module);
    if (!image.valid() || image.inside(reinterpret_cast<void const *>(system)))
        return system;

    IMAGE_DATA_DIRECTORY const *entry = image.directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (entry == nullptr)
        return system;
    auto exports = image.at<IMAGE_EXPORT_DIRECTORY>(entry->VirtualAddress);
    if (exports == nullptr)
        return system;
    DWORD const *functions =
        image.at<DWORD>(exports->AddressOfFunctions, exports->NumberOfFunctions);
    if (functions == nullptr)
        return system;
    auto recorded = [&](std::uint64_t index) -> FARPROC {
        if (index >= exports->NumberOfFunctions || functions[index] == 0)
            return system;
        return reinterpret_cast<FARPROC>(
            reinterpret_cast<ULONG_PTR>(image.base() + functions[index]));
    };

    // An ordinal lies in the low word; it must name an entry of the table.
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(name);
    if (value <= 0xFFFF) {
        if (value < exports->Base)
            return system;
        return recorded(value - exports->Base);
    }

    DWORD const *names = image.at<DWORD>(exports->AddressOfNames, exports->NumberOfNames);
    WORD const *ordinals = image.at<WORD>(exports->AddressOfNameOrdinals, exports->NumberOfNames);
    if (names == nullptr || ordinals == nullptr)
        return system;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        if (image.name_equals(names[i], name))
            return recorded(ordinals[i]);
    }
    return system;
}

std::wstring GetPackageFullName(void *process) {
    GetPackageFullNameFn function = os().get_package_full_name;
    if (function == nullptr)
        return std::wstring();
    return detail::no_throw(std::wstring(), [&] {
        UINT32 length = 0;
        LONG result = function(process, &length, nullptr);
        if ((result != ERROR_SUCCESS && result != ERROR_INSUFFICIENT_BUFFER) || length <= 1)
            return std::wstring();
        std::vector<wchar_t> buffer(std::size_t(length) + 1, L'\0');
        UINT32 size = length;
        if (function(process, &size, buffer.data()) != ERROR_SUCCESS)
            return std::wstring();
        buffer[length] = L'\0';
        return std::wstring(buffer.data());
    });
}

} // namespace ntdll
} // namespace vfs
} // namespace zem
