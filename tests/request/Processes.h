// Child processes for the request tests: started with their output on a
// pipe, always ended (terminated if still running) when the object goes, and
// helpers to find the dispatcher programs a test started.
#pragma once

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace zem {
namespace vfs {
namespace test {

// The folder of the running test program, with a trailing backslash.
inline std::string bin_folder() {
    char path[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path, n);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

// A kernel handle closed exactly once.
class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    ~Handle() { reset(); }
    Handle(Handle const &) = delete;
    Handle &operator=(Handle const &) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE h = nullptr) {
        if (valid())
            CloseHandle(h_);
        h_ = h;
    }
    HANDLE release() {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }

private:
    HANDLE h_;
};

// A running child program; terminated when the object ends unless it has
// already ended.
class Child {
public:
    Child() = default;
    Child(Child const &) = delete;
    Child &operator=(Child const &) = delete;
    ~Child() { kill(); }

    // Starts `program` ("child_x" in the build folder, or a full path ending
    // in .exe) with `arguments`; its output is collected.
    bool start(std::string const &program, std::string const &arguments) {
        std::string path = program;
        if (path.find(".exe") == std::string::npos)
            path = bin_folder() + program + ".exe";
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE r = nullptr, w = nullptr;
        if (!CreatePipe(&r, &w, &inherit, 0))
            return false;
        Handle read_end(r), write_end(w);
        SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = nullptr;
        si.hStdOutput = w;
        si.hStdError = w;
        std::string line = "\"" + path + "\" " + arguments;
        std::vector<char> buffer(line.begin(), line.end());
        buffer.push_back('\0');
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessA(path.c_str(), buffer.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            nullptr, &si, &pi))
            return false;
        process_.reset(pi.hProcess);
        CloseHandle(pi.hThread);
        pid_ = pi.dwProcessId;
        write_end.reset();
        HANDLE out = read_end.release();
        reader_ = std::thread([this, out] {
            char chunk[4096];
            DWORD n = 0;
            while (ReadFile(out, chunk, sizeof chunk, &n, nullptr) && n > 0)
                output_.append(chunk, n);
            CloseHandle(out);
        });
        return true;
    }

    // Waits up to `ms` for the end; the exit code, or -1 when it did not end
    // (it is then terminated).
    int wait(DWORD ms) {
        if (!process_.valid())
            return -1;
        int code = -1;
        if (WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0) {
            DWORD c = 0;
            GetExitCodeProcess(process_.get(), &c);
            code = int(c);
        }
        kill();
        return code;
    }

    void kill() {
        if (process_.valid()) {
            if (WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
                TerminateProcess(process_.get(), 9);
                WaitForSingleObject(process_.get(), 10000);
            }
            process_.reset();
        }
        if (reader_.joinable())
            reader_.join();
    }

    DWORD pid() const { return pid_; }
    std::string const &output() const { return output_; }
    // The value of the output line "<key>=<value>", or "<missing>".
    std::string value(std::string const &key) const {
        std::string head = key + "=";
        std::size_t at = output_.find(head);
        while (at != std::string::npos && at != 0 && output_[at - 1] != '\n')
            at = output_.find(head, at + 1);
        if (at == std::string::npos)
            return "<missing>";
        std::size_t end = output_.find_first_of("\r\n", at);
        return output_.substr(at + head.size(),
                              end == std::string::npos ? end : end - at - head.size());
    }

private:
    Handle process_;
    DWORD pid_ = 0;
    std::string output_;
    std::thread reader_;
};

// The ids of the running processes whose image is `exe` (no folder) and
// whose parent is `parent` (any parent for 0).
inline std::vector<DWORD> processes_named(char const *exe, DWORD parent) {
    std::vector<DWORD> found;
    Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap.valid())
        return found;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snap.get(), &entry); more;
         more = Process32Next(snap.get(), &entry)) {
        if (lstrcmpiA(entry.szExeFile, exe) == 0 &&
            (parent == 0 || entry.th32ParentProcessID == parent))
            found.push_back(entry.th32ProcessID);
    }
    return found;
}

inline bool process_alive(DWORD pid) {
    Handle p(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return p.valid() && WaitForSingleObject(p.get(), 0) == WAIT_TIMEOUT;
}

inline void kill_process(DWORD pid) {
    Handle p(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (p.valid()) {
        TerminateProcess(p.get(), 9);
        WaitForSingleObject(p.get(), 10000);
    }
}

} // namespace test
} // namespace vfs
} // namespace zem
