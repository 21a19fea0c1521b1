// Version classification. The system may report 6.2 for anything newer to a
// program that does not declare itself compatible; the true numbers then
// come from ntdll's RtlGetNtVersionNumbers.
#include "OsVersion.h"

#include "../log/Log.h"
#include "internal/Handles.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace zem {
namespace vfs {

namespace {

typedef void(WINAPI *RtlGetNtVersionNumbersFn)(DWORD *, DWORD *, DWORD *);

} // namespace

osver *osver::instance() {
    static osver version;
    return &version;
}

osver::~osver() = default;

osver::osver() : code_(0) {
    OSVERSIONINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&info)))
        return;
    bool const workstation = info.wProductType == VER_NT_WORKSTATION;

    if (info.dwMajorVersion == 5) {
        code_ = info.dwMinorVersion == 2 && !workstation ? 1 : 0;
    } else if (info.dwMajorVersion == 6 && info.dwMinorVersion == 0) {
        code_ = workstation ? 2 : 3;
    } else if (info.dwMajorVersion == 6 && info.dwMinorVersion == 1) {
        code_ = workstation ? 4 : 3;
    } else if (info.dwMajorVersion == 6) {
        code_ = 5;
        detail::ModuleHandle ntdll(LoadLibraryA("NTDLL.DLL"));
        RtlGetNtVersionNumbersFn numbers =
            ntdll.get() == nullptr
                ? nullptr
                : reinterpret_cast<RtlGetNtVersionNumbersFn>(reinterpret_cast<void *>(
                      GetProcAddress(ntdll.get(), "RtlGetNtVersionNumbers")));
        if (numbers != nullptr) {
            DWORD major = 0;
            DWORD minor = 0;
            DWORD build = 0;
            numbers(&major, &minor, &build);
            info.dwMajorVersion = major;
            info.dwMinorVersion = minor;
            info.wServicePackMajor = static_cast<WORD>(build & 0xFFFF);
            info.wServicePackMinor = static_cast<WORD>(build >> 16);
            if ((build & 0xFFFF) >= 22000)
                code_ = 8;
            else if (major == 10)
                code_ = 7;
            else if (major == 6)
                code_ = minor == 2 ? 5 : 6;
        }
    } else if (info.dwMajorVersion == 10) {
        code_ = 7;
    }

    std::string csd(info.szCSDVersion, strnlen(info.szCSDVersion, sizeof info.szCSDVersion));
    ZEM_LOG(7, "OS Info: Ver=" << info.dwMajorVersion << "." << info.dwMinorVersion << "."
                               << info.dwBuildNumber << " Platform=" << info.dwPlatformId
                               << " CSD=" << csd << " SP=" << info.wServicePackMajor << "."
                               << info.wServicePackMinor << " OS=" << code_
                               << " PID=" << GetCurrentProcessId() << std::endl);
}

} // namespace vfs
} // namespace zem
