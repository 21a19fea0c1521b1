// Helpers for tests that start one of the child_*.exe programs of the build:
// running a child with its standard output captured, preparing registry
// values before the child loads the library (and removing them afterwards),
// temporary folders, and copies of a child program (with the library and the
// runtime DLLs beside it) on drive C:, where its image path gets a drive
// letter.
#pragma once

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zem {
namespace vfs {
namespace test {

// The folder of the running test program, with a trailing backslash.
inline std::wstring program_folder() {
    std::vector<wchar_t> path(32768);
    DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    std::wstring folder(path.data(), n);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

inline std::string narrow(std::wstring const &text) {
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(std::size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

inline std::wstring widen(std::string const &text) {
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0);
    std::wstring out(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.size()), &out[0], n);
    return out;
}

// A kernel handle closed exactly once.
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

struct ChildResult {
    bool started = false;
    bool finished = false;
    DWORD exit_code = 0;
    DWORD pid = 0;
    std::string output;

    // The value of the first output line "<key>=<value>", or `missing`.
    std::string value(std::string const &key, std::string const &missing = "<missing>") const {
        std::string const head = key + "=";
        std::size_t at = 0;
        while (at < output.size()) {
            std::size_t end = output.find('\n', at);
            if (end == std::string::npos)
                end = output.size();
            std::string line = output.substr(at, end - at);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.compare(0, head.size(), head) == 0)
                return line.substr(head.size());
            at = end + 1;
        }
        return missing;
    }
};

// Starts `program` (a full path) suspended with its standard output (and
// error) on a pipe, calls `before_start` with its process id, lets it run and
// collects its output. A child that runs longer than `timeout_ms` is
// terminated and reported as not finished.
inline ChildResult run_child(std::wstring const &program, std::wstring const &arguments = L"",
                             std::function<void(DWORD)> const &before_start = {},
                             wchar_t const *folder = nullptr, DWORD timeout_ms = 120000) {
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
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end.get();
    startup.hStdError = write_end.get();
    std::wstring command = L"\"" + program + L"\" " + arguments;
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                        nullptr, folder, &startup, &info))
        return result;
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    write_end.reset();
    result.started = true;
    result.pid = info.dwProcessId;
    if (before_start)
        before_start(info.dwProcessId);

    std::string output;
    std::thread reader([&] {
        char chunk[4096];
        DWORD n = 0;
        while (ReadFile(read_end.get(), chunk, sizeof chunk, &n, nullptr) && n > 0)
            output.append(chunk, n);
    });
    ResumeThread(thread.get());
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

// Removes a folder and everything in it.
inline void remove_tree(std::wstring const &folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

// A new folder under the temporary folder (on drive C: under Wine), removed
// with its content when the object ends.
class TempFolder {
public:
    explicit TempFolder(wchar_t const *tag = L"zem") {
        wchar_t base[MAX_PATH + 1];
        DWORD n = GetTempPathW(MAX_PATH + 1, base);
        std::wstring root(base, n);
        static unsigned counter = 0;
        for (;;) {
            wchar_t name[64];
            std::swprintf(name, 64, L"%ls_%lu_%u", tag, GetCurrentProcessId(), ++counter);
            path_ = root + name;
            if (CreateDirectoryW(path_.c_str(), nullptr))
                break;
            if (GetLastError() != ERROR_ALREADY_EXISTS) {
                path_.clear();
                break;
            }
        }
        // The long form, as an image path shows it.
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
    std::string narrow_path() const { return narrow(path_); }
    std::string narrow_file(std::string const &name) const { return narrow_path() + "\\" + name; }

private:
    std::wstring path_;
};

// Copies child program `child` (for example L"child_log") of the build into
// `folder` as `name`, with the library and the runtime DLLs beside it.
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

// Registry values and keys set up for a test and removed again: every value
// set through this object is deleted, and every key it created (that did not
// exist before) is deleted with its content, newest first.
class RegistryScope {
public:
    RegistryScope() = default;
    ~RegistryScope() {
        for (auto it = values_.rbegin(); it != values_.rend(); ++it) {
            HKEY key = nullptr;
            if (RegOpenKeyExA(it->hive, it->key.c_str(), 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
                RegDeleteValueA(key, it->name.c_str());
                RegCloseKey(key);
            }
        }
        for (auto it = created_.rbegin(); it != created_.rend(); ++it)
            RegDeleteTreeA(it->first, it->second.c_str());
    }
    RegistryScope(RegistryScope const &) = delete;
    RegistryScope &operator=(RegistryScope const &) = delete;

    // Creates `path` (each missing level is remembered for removal).
    bool create(HKEY hive, std::string const &path) {
        std::size_t at = 0;
        for (;;) {
            std::size_t end = path.find('\\', at);
            std::string part = path.substr(0, end);
            HKEY key = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExA(hive, part.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                &disposition) != ERROR_SUCCESS)
                return false;
            RegCloseKey(key);
            if (disposition == REG_CREATED_NEW_KEY)
                created_.emplace_back(hive, part);
            if (end == std::string::npos)
                return true;
            at = end + 1;
        }
    }

    // Sets value `name` of `path` to `size` raw bytes of type `type`; the
    // value is deleted again when the scope ends.
    bool set(HKEY hive, std::string const &path, std::string const &name, DWORD type,
             void const *data, DWORD size) {
        if (!create(hive, path))
            return false;
        HKEY key = nullptr;
        if (RegOpenKeyExA(hive, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return false;
        LONG result =
            RegSetValueExA(key, name.c_str(), 0, type, static_cast<BYTE const *>(data), size);
        RegCloseKey(key);
        if (result != ERROR_SUCCESS)
            return false;
        values_.push_back(Value{hive, path, name});
        return true;
    }
    bool set_string(HKEY hive, std::string const &path, std::string const &name,
                    std::string const &text) {
        return set(hive, path, name, REG_SZ, text.c_str(), DWORD(text.size() + 1));
    }
    bool set_dword(HKEY hive, std::string const &path, std::string const &name, DWORD value) {
        return set(hive, path, name, REG_DWORD, &value, sizeof value);
    }

private:
    struct Value {
        HKEY hive;
        std::string key;
        std::string name;
    };
    std::vector<Value> values_;
    std::vector<std::pair<HKEY, std::string>> created_;
};

// Reads a whole file; empty when it cannot be read.
inline std::string read_file(std::wstring const &path) {
    Handle file(CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
    std::string content;
    if (!file.valid())
        return content;
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &n, nullptr) && n > 0)
        content.append(chunk, n);
    return content;
}

inline bool write_file(std::wstring const &path, std::string const &content) {
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file.valid())
        return false;
    DWORD n = 0;
    return WriteFile(file.get(), content.data(), DWORD(content.size()), &n, nullptr) &&
           n == content.size();
}

inline bool file_exists(std::wstring const &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace test
} // namespace vfs
} // namespace zem
