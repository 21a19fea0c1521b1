// Questions about the operating system, the current process and other
// processes: bitness and WOW64 state, system directories, the image path of a
// process with a drive letter, token session and account, the process
// environment block, an export lookup that reads the module's own export
// table, and the package name of a packaged process.
//
// Functions that older systems lack are looked up by name while the library
// loads and called through pointers; a missing one gives a negative answer.
// Every function reports failure through its result and never throws.
#pragma once

// FARPROC and HINSTANCE, without the rest of <windows.h>.
#include <windef.h>

#include <string>

#include "../config.h"

// Native structures of <winternl.h>, which this header leaves to the
// caller: used here through pointers only.
struct _UNICODE_STRING;
struct _PEB;

namespace zem {
namespace vfs {
namespace ntdll {

// The native RtlInitUnicodeString; does nothing when ntdll lacks it.
ZEM_VFS_API void RtlInitUnicodeString(_UNICODE_STRING *s, wchar_t const *text);

// 1 when the native processor architecture is AMD64 or IA64, else 0.
ZEM_VFS_API int Is64System();

// 1 when the process (the current one when null) runs under WOW64; 0 when
// not, when the query fails or when the system lacks the function.
ZEM_VFS_API int IsWow64Process(void *process);

// The system directory with a trailing backslash (C:\Windows\system32\), or
// null when it could not be read.
ZEM_VFS_API wchar_t const *GetSysDirectory();

// In a WOW64 process the Windows directory followed by "\SysWOW64\"; null
// otherwise (always in a 64-bit process).
ZEM_VFS_API wchar_t const *GetSysWow64Directory();

// 1 when file-system redirection is on for the calling thread; 0 when it is
// off or cannot be switched (always 0 outside WOW64).
ZEM_VFS_API int IsEnableFsRedirection();

// The id of the thread behind the handle; 0 when it cannot be obtained.
ZEM_VFS_API unsigned long GetThreadId(void *thread);

// The image path of the process in `buffer` (`size` characters, with the
// terminating NUL). The device part is replaced by the first of the drive
// letters A to Y that maps it (Z is not tried); without such a letter the
// path stays in device form (\Device\HarddiskVolume2\...). 1 on success, 0
// when the path cannot be read or does not fit.
ZEM_VFS_API int GetProcessFileNameA(void *process, char *buffer, unsigned long size);
ZEM_VFS_API int GetProcessFileNameW(void *process, wchar_t *buffer, unsigned long size);

// The address of the process environment block in that process, or null.
ZEM_VFS_API _PEB *GetPEBAddress(void *process);

// NtQueryObject with the same arguments (`cls` is an OBJECT_INFORMATION_CLASS
// value of <winternl.h>); its status.
ZEM_VFS_API long QueryObject(void *handle, int cls, void *buffer, unsigned long size,
                             unsigned long *returned);

// Session id, domain and user name of the process's token. With both name
// buffers null only the session id is read. A name buffer must hold the name
// and its terminating NUL (sizes in characters). 1 on success, else 0.
ZEM_VFS_API int QuerySessionInfo(void *process, unsigned long *session, wchar_t *domain,
                                 unsigned long domain_size, wchar_t *user, unsigned long user_size);

// The id of the first thread of process `pid` in a system thread snapshot;
// 0 when there is none.
ZEM_VFS_API unsigned long QueryMainThreadId(unsigned long pid);

// The address of an export as the module's own export table records it.
// When the system's answer lies inside the module's image it is returned
// unchanged; when it lies outside (a forwarded or patched export) the address
// is taken from the module's export table, by ordinal or by exact name. Null
// when the system knows no such export.
ZEM_VFS_API FARPROC GetProcAddressEx(HINSTANCE module, char const *name);

// The package full name of a packaged process; empty otherwise or when the
// system lacks the function.
ZEM_VFS_API std::wstring GetPackageFullName(void *process);

} // namespace ntdll
} // namespace vfs
} // namespace zem
