// Running the helper dispatcher in tests: a copy of the program under its
// real name in a temporary folder whose name holds a blank (with the library
// and runtime DLLs beside it), helpers started directly or found among this
// process's children, and clients on its pipes.
#pragma once

#include "request/Processes.h"

#include "ipc/Pipe.h"
#include "serialize/HandleStream.h"

#include <windows.h>

#include <cstdio>
#include <atomic>
#include <memory>
#include <thread>
#include <string>
#include <utility>
#include <vector>

namespace zem {
namespace vfs {
namespace test {

char const kHelperExe[] = "zem.vfs.dispatcher_wow64.exe";
char const kSharedPipe[] = "\\\\.\\pipe\\zem.vfs.dispatcher_wow64";

inline std::string helper_pipe(DWORD pid) {
    char name[64];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\zem.vfs.dispatcher_%lu", pid);
    return name;
}

// The helper as the build made it: under its real name, or under the name
// with underscores where the build cannot name a program with dots.
inline std::string built_helper() {
    std::string real = bin_folder() + kHelperExe;
    if (GetFileAttributesA(real.c_str()) != INVALID_FILE_ATTRIBUTES)
        return real;
    return bin_folder() + "zem_vfs_dispatcher_wow64.exe";
}

inline void remove_folder(std::string const &folder) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = folder + "\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_folder(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

// Ends every helper this process started (directly or through the library).
inline void kill_my_helpers() {
    for (DWORD pid : processes_named(kHelperExe, GetCurrentProcessId()))
        kill_process(pid);
}

// A folder holding the helper program and the DLLs it needs: by default
// "<temp>\zem helper <pid> <n>" (a blank in its name), or `name` inside
// `parent`. Removed with everything in it, after this process's helpers are
// ended.
class HelperFolder {
public:
    explicit HelperFolder(std::string const &parent = std::string(),
                          std::string const &name = std::string()) {
        std::string base = parent;
        if (base.empty()) {
            char temp[MAX_PATH];
            GetTempPathA(MAX_PATH, temp);
            base = temp;
        } else if (base.back() != '\\') {
            base += '\\';
        }
        std::string leaf = name;
        if (leaf.empty()) {
            static int counter = 0;
            char text[64];
            std::snprintf(text, sizeof text, "zem helper %lu %d", GetCurrentProcessId(), ++counter);
            leaf = text;
        }
        path_ = base + leaf;
        CreateDirectoryA(path_.c_str(), nullptr);
        ok_ = CopyFileA(built_helper().c_str(), exe().c_str(), FALSE) != FALSE && copy_dlls(path_);
    }
    ~HelperFolder() {
        kill_my_helpers();
        remove_folder(path_);
    }
    HelperFolder(HelperFolder const &) = delete;
    HelperFolder &operator=(HelperFolder const &) = delete;

    // The library and runtime DLLs of the build, copied into `folder`.
    static bool copy_dlls(std::string const &folder) {
        for (char const *dll :
             {"zem.vfs.common.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"})
            if (!CopyFileA((bin_folder() + dll).c_str(), (folder + "\\" + dll).c_str(), FALSE))
                return false;
        return true;
    }

    bool ok() const { return ok_; }
    std::string const &path() const { return path_; }
    std::string exe() const { return path_ + "\\" + kHelperExe; }

private:
    std::string path_;
    bool ok_ = false;
};

// Registry values set for a test under HKEY_LOCAL_MACHINE and removed again,
// with every key the scope had to create.
class MachineRegistry {
public:
    MachineRegistry() = default;
    MachineRegistry(MachineRegistry const &) = delete;
    MachineRegistry &operator=(MachineRegistry const &) = delete;
    ~MachineRegistry() {
        for (auto it = values_.rbegin(); it != values_.rend(); ++it) {
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, it->first.c_str(), 0, KEY_SET_VALUE, &key) ==
                ERROR_SUCCESS) {
                RegDeleteValueA(key, it->second.c_str());
                RegCloseKey(key);
            }
        }
        for (auto it = created_.rbegin(); it != created_.rend(); ++it)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, it->c_str());
    }

    bool set(std::string const &path, std::string const &name, std::string const &value) {
        std::size_t at = 0;
        for (;;) {
            std::size_t end = path.find('\\', at);
            std::string part = path.substr(0, end);
            HKEY key = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, part.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, &disposition) != ERROR_SUCCESS)
                return false;
            RegCloseKey(key);
            if (disposition == REG_CREATED_NEW_KEY)
                created_.push_back(part);
            if (end == std::string::npos)
                break;
            at = end + 1;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key) !=
            ERROR_SUCCESS)
            return false;
        LONG r =
            RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                           reinterpret_cast<BYTE const *>(value.c_str()), DWORD(value.size() + 1));
        RegCloseKey(key);
        if (r == ERROR_SUCCESS)
            values_.emplace_back(path, name);
        return r == ERROR_SUCCESS;
    }

private:
    std::vector<std::pair<std::string, std::string>> values_;
    std::vector<std::string> created_;
};

char const kQuillon[] = "Software\\Tavrin Labs\\Quillon";

// Connects a client to `name`, retrying for up to `ms` while nobody serves it.
inline HANDLE connect_to(std::string const &name, DWORD ms = 15000) {
    DWORD start = GetTickCount();
    for (;;) {
        Pipe pipe;
        if (pipe.connect(name.c_str(), false))
            return pipe.detach();
        if (GetTickCount() - start > ms)
            return INVALID_HANDLE_VALUE;
        Sleep(20);
    }
}

// A helper started by the test itself, serving "\\.\pipe\zem.vfs.dispatcher_<pid>".
class RunningHelper {
public:
    explicit RunningHelper(HelperFolder const &folder) {
        char args[32];
        std::snprintf(args, sizeof args, "/helper %lu", GetCurrentProcessId());
        if (!child_.start(folder.exe(), args))
            return;
        pipe_ = helper_pipe(child_.pid());
        HANDLE h = connect_to(pipe_);
        ready_ = h != INVALID_HANDLE_VALUE;
        if (ready_)
            CloseHandle(h);
    }
    bool ready() const { return ready_; }
    DWORD pid() const { return child_.pid(); }
    std::string const &pipe() const { return pipe_; }
    Child &child() { return child_; }
    std::unique_ptr<HandleStream> client() {
        HANDLE h = connect_to(pipe_, 5000);
        return std::unique_ptr<HandleStream>(h == INVALID_HANDLE_VALUE ? nullptr
                                                                       : new HandleStream(h));
    }

private:
    Child child_;
    std::string pipe_;
    bool ready_ = false;
};

// Ends a process after a time unless cancelled: a test whose peer hangs
// fails instead of hanging itself.
class Deadline {
public:
    Deadline(DWORD pid, DWORD ms) : pid_(pid), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = std::thread([this, ms] {
            if (WaitForSingleObject(done_, ms) == WAIT_TIMEOUT) {
                fired_ = true;
                kill_process(pid_);
            }
        });
    }
    ~Deadline() {
        SetEvent(done_);
        thread_.join();
        CloseHandle(done_);
    }
    Deadline(Deadline const &) = delete;
    Deadline &operator=(Deadline const &) = delete;
    bool fired() const { return fired_; }

private:
    DWORD pid_;
    HANDLE done_;
    std::thread thread_;
    std::atomic<bool> fired_{false};
};

// Committed private memory and handle count of a process (0 where the
// system does not say). Wine reports PrivateUsage and GetProcessHandleCount
// as 0, so the pagefile usage and the system's handle table are asked too.
struct Usage {
    uint64 private_bytes = 0;
    uint64 working_set = 0;
    DWORD handles = 0;
};

inline DWORD count_handles(DWORD pid) {
    struct Entry {
        PVOID object;
        ULONG_PTR pid;
        ULONG_PTR value;
        ULONG access;
        USHORT backtrace;
        USHORT type;
        ULONG attributes;
        ULONG reserved;
    };
    struct Table {
        ULONG_PTR count;
        ULONG_PTR reserved;
        Entry entries[1];
    };
    typedef LONG(WINAPI * Query)(ULONG, PVOID, ULONG, PULONG);
    Query query = reinterpret_cast<Query>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
        return 0;
    std::vector<char> buffer(1 << 20);
    for (int i = 0; i < 8; ++i) {
        ULONG needed = 0;
        LONG status = query(64 /* SystemExtendedHandleInformation */, buffer.data(),
                            ULONG(buffer.size()), &needed);
        if (status == LONG(0xC0000004)) { // the buffer is too small
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != 0)
            return 0;
        Table const *table = reinterpret_cast<Table const *>(buffer.data());
        DWORD n = 0;
        for (ULONG_PTR k = 0; k < table->count; ++k)
            if (table->entries[k].pid == pid)
                ++n;
        return n;
    }
    return 0;
}

inline Usage usage_of(DWORD pid) {
    Usage u;
    Handle p(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!p.valid())
        return u;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(p.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                             sizeof counters)) {
        u.private_bytes =
            counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
        u.working_set = counters.WorkingSetSize;
    }
    GetProcessHandleCount(p.get(), &u.handles);
    if (u.handles == 0)
        u.handles = count_handles(pid);
    return u;
}

} // namespace test
} // namespace vfs
} // namespace zem
