#include "Dump.h"

#include <windows.h>

#include <dbghelp.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "Ntdll.h"
#include "Utility.h"
#include "internal/Handles.h"

namespace zem {
namespace vfs {
namespace ntdll {

namespace {

// Longest folder name kept, without its terminating NUL.
std::size_t const kMaxDirectory = MAX_PATH - 1;
// Dumps named <name>_[0].dmp to <name>_[99].dmp are tried in turn.
int const kMaxDumps = 100;
// MiniDumpWithDataSegs | MiniDumpWithHandleData | MiniDumpWithFullMemoryInfo.
MINIDUMP_TYPE const kDumpType = static_cast<MINIDUMP_TYPE>(0x805);

// The dump settings: an empty folder means dumps are off. Written only by
// Initialize and Uninitialize, read by the crash filter.
wchar_t g_directory[MAX_PATH] = {0};
LPTOP_LEVEL_EXCEPTION_FILTER g_previous = nullptr;

// Appends the decimal digits of 0 <= value < 1000 to `out` at `at`.
std::size_t put_number(wchar_t *out, std::size_t at, int value) {
    wchar_t digits[4];
    int count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value > 0 && count < 3);
    while (count > 0) {
        out[at++] = digits[--count];
    }
    return at;
}

// "<directory>\<name>_[<i>].dmp" into `path` (MAX_PATH characters); false
// when it does not fit. Built by hand: the filter runs in a failing process
// and needs no heap.
[[nodiscard]] bool dump_path(wchar_t *path, wchar_t const *name, int i) {
    wchar_t file[MAX_PATH];
    std::size_t length = std::wcslen(name);
    if (length + 12 >= MAX_PATH) {
        return false;
    }
    std::wmemcpy(file, name, length);
    file[length++] = L'_';
    file[length++] = L'[';
    length = put_number(file, length, i);
    std::wmemcpy(file + length, L"].dmp", 6);
    length += 5;
    // PathCombineW adds a separator only where the folder lacks one.
    std::size_t const folder = std::wcslen(g_directory);
    bool const separated = folder > 0 && g_directory[folder - 1] == L'\\';
    if (folder + (separated ? 0 : 1) + length >= MAX_PATH) {
        return false;
    }
    return PathCombineW(path, g_directory, file) != nullptr;
}

void write_dump(EXCEPTION_POINTERS *pointers) {
    wchar_t image[MAX_PATH];
    if (!GetProcessFileNameW(GetCurrentProcess(), image, MAX_PATH)) {
        return;
    }
    wchar_t *name = PathFindFileNameW(image);
    PathRemoveExtensionW(name);
    if (*name == L'\0') {
        return;
    }
    for (int i = 0; i < kMaxDumps; ++i) {
        wchar_t path[MAX_PATH];
        if (!dump_path(path, name, i)) {
            return;
        }
        // CREATE_NEW: a dump that is there already stays as it is.
        detail::FileHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            continue;
        }
        MINIDUMP_EXCEPTION_INFORMATION exception;
        exception.ThreadId = GetCurrentThreadId();
        exception.ExceptionPointers = pointers;
        exception.ClientPointers = TRUE;
        MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), kDumpType,
                          pointers ? &exception : nullptr, nullptr, nullptr);
        return;
    }
}

LONG WINAPI crash_filter(EXCEPTION_POINTERS *pointers) {
    write_dump(pointers);
    LPTOP_LEVEL_EXCEPTION_FILTER previous = g_previous;
    if (previous != nullptr) {
        return previous(pointers);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

int dump::Initialize(char const *directory) {
    if (g_directory[0] != L'\0') {
        return 1;
    }
    if (directory == nullptr) {
        return 0;
    }
    std::wstring const folder = Utility::a2w(directory);
    if (folder.empty() || folder.size() > kMaxDirectory) {
        return 0;
    }
    // A folder: a file of that name could never take a dump.
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return 0;
    }
    std::wmemcpy(g_directory, folder.c_str(), folder.size() + 1);
    g_previous = SetUnhandledExceptionFilter(crash_filter);
    return 1;
}

void dump::Uninitialize() {
    if (g_directory[0] == L'\0') {
        return;
    }
    SetUnhandledExceptionFilter(g_previous);
    g_previous = nullptr;
    g_directory[0] = L'\0';
}

} // namespace ntdll
} // namespace vfs
} // namespace zem
