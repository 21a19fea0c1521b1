// Helpers of the service tests: handles, child processes with captured
// output, temporary folders, and a copy of child_service.exe installed as a
// service of a unique name that is always removed again.
#pragma once

#include <windows.h>

#include <winsvc.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zem {
namespace vfs {
namespace test {

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() { reset(); }
    Handle(Handle const &) = delete;
    Handle &operator=(Handle const &) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = nullptr) {
        if (valid())
            CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_;
};

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ScHandle() {
        if (handle_)
            CloseServiceHandle(handle_);
    }
    ScHandle(ScHandle const &) = delete;
    ScHandle &operator=(ScHandle const &) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

inline std::wstring program_folder() {
    std::vector<wchar_t> path(32768);
    DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    std::wstring folder(path.data(), n);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

inline std::string read_file(std::wstring const &path) {
    Handle file(CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
    std::string content;
    char chunk[4096];
    DWORD n = 0;
    while (file.valid() && ReadFile(file.get(), chunk, sizeof chunk, &n, nullptr) && n > 0)
        content.append(chunk, n);
    return content;
}

inline bool write_file(std::wstring const &path, std::string const &content) {
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD n = 0;
    return file.valid() &&
           WriteFile(file.get(), content.data(), DWORD(content.size()), &n, nullptr) &&
           n == content.size();
}

inline bool file_exists(std::wstring const &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string narrow(std::wstring const &text) {
    std::string out;
    for (wchar_t c : text)
        out += c < 128 ? char(c) : '?';
    return out;
}

struct ChildResult {
    bool started = false;
    bool finished = false;
    DWORD exit_code = 0;
    std::string output;

    // Is `line` one of the output lines?
    bool has_line(std::string const &line) const {
        std::string const text = "\n" + output;
        return text.find("\n" + line + "\n") != std::string::npos ||
               text.find("\n" + line + "\r\n") != std::string::npos;
    }
    // The rest of the first output line that begins "<key>=", or "<missing>".
    std::string value(std::string const &key) const {
        std::string const text = "\n" + output;
        std::size_t at = text.find("\n" + key + "=");
        if (at == std::string::npos)
            return "<missing>";
        at += key.size() + 2;
        std::size_t end = text.find_first_of("\r\n", at);
        return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    }
};

// Runs `program` with `arguments` (standard output and error on a pipe) and
// `flags` for CreateProcess, calls `running` with the process id and handle
// while it runs, and waits at most `timeout_ms` (then it is terminated).
inline ChildResult run_child(std::wstring const &program, std::wstring const &arguments,
                             DWORD flags = 0,
                             std::function<void(DWORD, HANDLE)> const &running = {},
                             DWORD timeout_ms = 60000) {
    ChildResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_raw = nullptr;
    HANDLE write_raw = nullptr;
    if (!CreatePipe(&read_raw, &write_raw, &inherit, 0))
        return result;
    Handle read_end(read_raw);
    Handle write_end(write_raw);
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = write_end.get();
    startup.hStdError = write_end.get();
    std::wstring command = L"\"" + program + L"\" " + arguments;
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                        nullptr, &startup, &info))
        return result;
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    write_end.reset();
    result.started = true;
    std::string output;
    std::thread reader([&] {
        char chunk[4096];
        DWORD n = 0;
        while (ReadFile(read_end.get(), chunk, sizeof chunk, &n, nullptr) && n > 0)
            output.append(chunk, n);
    });
    if (running)
        running(info.dwProcessId, process.get());
    if (WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0) {
        result.finished = true;
        GetExitCodeProcess(process.get(), &result.exit_code);
    } else {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), INFINITE);
    }
    reader.join();
    result.output = output;
    return result;
}

inline void remove_tree(std::wstring const &folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

// A new folder under the temporary folder (drive C: under Wine), removed
// with its content at the end; `tag` may hold blanks.
class TempFolder {
public:
    explicit TempFolder(std::wstring const &tag) {
        wchar_t base[MAX_PATH + 1];
        DWORD n = GetTempPathW(MAX_PATH + 1, base);
        std::wstring root(base, n);
        static unsigned counter = 0;
        for (;;) {
            path_ = root + tag + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                    std::to_wstring(++counter);
            if (CreateDirectoryW(path_.c_str(), nullptr))
                break;
            if (GetLastError() != ERROR_ALREADY_EXISTS) {
                path_.clear();
                break;
            }
        }
        std::vector<wchar_t> full(32768);
        DWORD m = GetLongPathNameW(path_.c_str(), full.data(), DWORD(full.size()));
        if (m > 0 && m < full.size())
            path_.assign(full.data(), m);
    }
    ~TempFolder() {
        if (!path_.empty())
            remove_tree(path_);
    }
    TempFolder(TempFolder const &) = delete;
    TempFolder &operator=(TempFolder const &) = delete;
    std::wstring const &path() const { return path_; }
    std::wstring file(std::wstring const &name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Copies `child` (for example L"child_service") of the build into `folder` as
// `name`, with the library and the runtime DLLs beside it.
inline bool copy_child(std::wstring const &child, std::wstring const &folder,
                       std::wstring const &name) {
    std::wstring const from = program_folder();
    if (!CopyFileW((from + child + L".exe").c_str(), (folder + L"\\" + name).c_str(), FALSE))
        return false;
    for (wchar_t const *dll : {L"zem.vfs.common.dll", L"libstdc++-6.dll", L"libgcc_s_seh-1.dll",
                               L"libwinpthread-1.dll"}) {
        if (!CopyFileW((from + dll).c_str(), (folder + L"\\" + dll).c_str(), FALSE))
            return false;
    }
    return true;
}

// The status of a service by name; false when it cannot be read.
inline bool query_service(std::wstring const &name, SERVICE_STATUS_PROCESS &status) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.get())
        return false;
    ScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    DWORD needed = 0;
    return service.get() &&
           QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE *>(&status), sizeof status, &needed);
}

// Waits up to `ms` for the service to reach `state`.
inline bool wait_state(std::wstring const &name, DWORD state, DWORD ms) {
    ULONGLONG const end = GetTickCount64() + ms;
    for (;;) {
        SERVICE_STATUS_PROCESS status;
        if (query_service(name, status) && status.dwCurrentState == state)
            return true;
        if (GetTickCount64() > end)
            return false;
        Sleep(50);
    }
}

// A copy of child_service.exe named after a service name unique to this run,
// in a folder of its own (whose name may hold a blank), with the words of
// `options` in its configuration file. The destructor ends a process left
// running, removes the registration and then the folder, whatever the test
// did before.
class TestService {
public:
    TestService(std::wstring const &options, std::wstring const &folder_tag = L"zemsvc")
        : folder_(folder_tag) {
        static unsigned counter = 0;
        name_ = L"zemsvc_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                std::to_wstring(GetTickCount()) + L"_" + std::to_wstring(++counter);
        ready_ = !folder_.path().empty() && copy_child(L"child_service", folder_.path(), exe()) &&
                 write_file(folder_.file(name_ + L".cfg"), narrow(options));
    }
    ~TestService() {
        kill();
        ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ScHandle service(manager.get() ? OpenServiceW(manager.get(), name_.c_str(), DELETE)
                                       : nullptr);
        if (service.get())
            DeleteService(service.get());
    }
    TestService(TestService const &) = delete;
    TestService &operator=(TestService const &) = delete;

    bool ready() const { return ready_; }
    std::wstring const &name() const { return name_; }
    std::wstring exe() const { return name_ + L".exe"; }
    std::wstring path() const { return folder_.file(exe()); }
    TempFolder const &folder() const { return folder_; }
    // What the service wrote so far.
    std::string log() const { return read_file(folder_.file(name_ + L".log")); }
    // Runs the copy with `arguments` (install, ...) and returns its output.
    ChildResult run(std::wstring const &arguments) const { return run_child(path(), arguments); }

    // Ends the service's process if it still runs and waits for it.
    void kill() {
        SERVICE_STATUS_PROCESS status;
        if (!query_service(name_, status) || status.dwProcessId == 0)
            return;
        Handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
        if (process.valid()) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 10000);
        }
        // Until the service control manager has noticed (or, for a service
        // marked for deletion, has removed the registration).
        for (int i = 0;
             i < 100 && query_service(name_, status) && status.dwCurrentState != SERVICE_STOPPED;
             ++i)
            Sleep(50);
    }

private:
    TempFolder folder_;
    std::wstring name_;
    bool ready_ = false;
};

} // namespace test
} // namespace vfs
} // namespace zem
