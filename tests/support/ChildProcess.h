// Child programs with their output captured, temporary folders and registry values.
#pragma once

#include "sys/Utility.h"
#include "sys/internal/Handles.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace zem::vfs::test {

inline std::string narrow(std::wstring const &text) {
    return Utility::w2utf8(text);
}
inline std::wstring widen(std::string const &text) {
    return Utility::utf82w(text);
}

inline std::wstring program_folder() {
    std::vector<wchar_t> path(32768);
    std::wstring folder(path.data(), GetModuleFileNameW(nullptr, path.data(), 32768));
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

struct Handle : detail::KernelHandle {
    using detail::KernelHandle::UniqueHandle;
    bool valid() const { return static_cast<bool>(*this); }
};

struct ChildResult {
    bool finished = false;
    DWORD exit_code = 0, pid = 0;
    std::string output;

    std::string value(std::string const &key, std::string const &missing = "<missing>") const {
        std::string const text = "\n" + output;
        std::size_t at = text.find("\n" + key + "=");
        if (at == std::string::npos)
            return missing;
        at += key.size() + 2;
        return text.substr(at, text.find_first_of("\r\n", at) - at);
    }
    bool has_line(std::string const &line) const {
        std::string const text = "\n" + output + "\n";
        return text.find("\n" + line + "\n") != std::string::npos ||
               text.find("\n" + line + "\r\n") != std::string::npos;
    }
};

// Runs `line` with its output on a pipe; a child outliving `timeout_ms` ends.
inline ChildResult run_captured(std::wstring const &program, std::wstring line, DWORD flags,
                                wchar_t const *folder, DWORD timeout_ms,
                                std::function<void(PROCESS_INFORMATION const &)> const &started) {
    ChildResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    Handle read_end, write_end;
    CreatePipe(read_end.put(), write_end.put(), &inherit, 0);
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = write_end.get();
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, flags, nullptr, folder,
                        &startup, &info))
        return result;
    Handle process(info.hProcess), thread(info.hThread);
    write_end.reset();
    result.pid = info.dwProcessId;
    std::thread reader([&] {
        char chunk[4096];
        DWORD n = 0;
        while (ReadFile(read_end.get(), chunk, sizeof chunk, &n, nullptr) && n > 0)
            result.output.append(chunk, n);
    });
    started(info);
    result.finished = WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0;
    if (!result.finished)
        TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), INFINITE);
    GetExitCodeProcess(process.get(), &result.exit_code);
    reader.join();
    return result;
}

// Starts `program` suspended and calls `before_start` before it runs.
inline ChildResult run_child(std::wstring const &program,
                             std::function<void(DWORD)> const &before_start = {},
                             wchar_t const *folder = nullptr, DWORD timeout_ms = 120000) {
    return run_captured(program, L"\"" + program + L"\"", CREATE_SUSPENDED, folder, timeout_ms,
                        [&](PROCESS_INFORMATION const &info) {
                            if (before_start)
                                before_start(info.dwProcessId);
                            ResumeThread(info.hThread);
                        });
}

inline ChildResult run_child(std::wstring const &program, std::wstring const &arguments,
                             DWORD flags = 0,
                             std::function<void(DWORD, HANDLE)> const &running = {},
                             DWORD timeout_ms = 60000) {
    return run_captured(program, L"\"" + program + L"\" " + arguments, flags, nullptr, timeout_ms,
                        [&](PROCESS_INFORMATION const &info) {
                            if (running)
                                running(info.dwProcessId, info.hProcess);
                        });
}

class TempFolder {
public:
    explicit TempFolder(std::wstring const &tag) {
        wchar_t temp[MAX_PATH + 1], base[32768];
        GetTempPathW(MAX_PATH + 1, temp);
        std::wstring const root(base, GetLongPathNameW(temp, base, 32768));
        static unsigned counter = 0;
        do
            path_ = root + tag + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                    std::to_wstring(++counter);
        while (!CreateDirectoryW(path_.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::wstring const &path() const { return path_; }
    std::wstring file(std::wstring const &name) const { return path_ + L"\\" + name; }
    std::string narrow_file(std::string const &name) const { return narrow(path_) + "\\" + name; }

private:
    std::wstring path_;
};

// Copies `child` (L"child_log") into `folder` as `name`, with its DLLs.
inline bool copy_child(std::wstring const &child, std::wstring const &folder,
                       std::wstring const &name) {
    std::wstring const from = program_folder();
    bool ok = CopyFileW((from + child + L".exe").c_str(), (folder + L"\\" + name).c_str(), FALSE);
    for (wchar_t const *dll :
         {L"zem.vfs.common.dll", L"libstdc++-6.dll", L"libgcc_s_seh-1.dll", L"libwinpthread-1.dll"})
        ok = ok && CopyFileW((from + dll).c_str(), (folder + L"\\" + dll).c_str(), FALSE);
    return ok;
}

// Registry keys and values set for a test, removed at the end newest first.
class RegistryScope {
public:
    ~RegistryScope() {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it)
            if (std::get<3>(*it))
                RegDeleteTreeA(std::get<0>(*it), std::get<1>(*it).c_str());
            else
                RegDeleteKeyValueA(std::get<0>(*it), std::get<1>(*it).c_str(),
                                   std::get<2>(*it).c_str());
    }
    bool create(HKEY hive, std::string const &path) {
        for (std::size_t end = 0; end != std::string::npos;) {
            end = path.find('\\', end + 1);
            HKEY key = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExA(hive, path.substr(0, end).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, &disposition) != ERROR_SUCCESS)
                return false;
            RegCloseKey(key);
            if (disposition == REG_CREATED_NEW_KEY)
                made_.emplace_back(hive, path.substr(0, end), "", true);
        }
        return true;
    }
    bool set(HKEY hive, std::string const &path, std::string const &name, DWORD type,
             void const *data, DWORD size) {
        made_.emplace_back(hive, path, name, false); // removed after the keys made for it
        return create(hive, path) &&
               RegSetKeyValueA(hive, path.c_str(), name.c_str(), type, data, size) == ERROR_SUCCESS;
    }
    bool set(HKEY hive, std::string const &path, std::string const &name, std::string const &text) {
        return set(hive, path, name, REG_SZ, text.c_str(), DWORD(text.size() + 1));
    }
    bool set(HKEY hive, std::string const &path, std::string const &name, DWORD value) {
        return set(hive, path, name, REG_DWORD, &value, sizeof value);
    }

private:
    std::vector<std::tuple<HKEY, std::string, std::string, bool>> made_;
};

inline std::string read_file(std::wstring const &path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool write_file(std::wstring const &path, std::string const &content) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    return out.write(content.data(), std::streamsize(content.size())).flush().good();
}

inline bool file_exists(std::wstring const &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace zem::vfs::test
