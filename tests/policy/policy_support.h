// Helpers of the policy tests: round trips through an in-memory stream,
// child programs started under chosen image names (copies of
// child_policy.exe on drive C:, where image paths get a drive letter), and
// capture of the library's log records.
#pragma once

#include "log/Log.h"
#include "serialize/Stream.h"
#include "serialize/Variable.h"
#include "support/ChildProcess.h"
#include "support/MemoryStreamBuf.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace zem {
namespace vfs {
namespace policy_test {

// The frame bytes of one object.
inline std::string frame_of(Variable const &object) {
    test::MemoryStreamBuf buf;
    Stream s(buf);
    object.serialize(s);
    return buf.bytes();
}

// Reads one object back from bytes; null when the stream gives none.
inline Variable *load_from(std::string const &bytes) {
    test::MemoryStreamBuf buf(bytes);
    Stream s(buf);
    return s.load();
}

template <class T> T *round_trip(T const &object) {
    Variable *v = load_from(frame_of(object));
    T *typed = dynamic_cast<T *>(v);
    if (typed == nullptr)
        Variable::release(v);
    return typed;
}

using test::Handle;
using test::narrow;
using test::program_folder;
using test::remove_tree;
using test::widen;

// A new folder on drive C: (the temporary folder under Wine), removed with
// its content at the end. Its path is the long form, as image paths show it.
class Scratch : public test::TempFolder {
public:
    Scratch() : TempFolder(L"zem_policy") {}

    std::string utf8(std::string const &name) const { return narrow_file(name); }

    // A file of `size` bytes.
    bool make_file(std::wstring const &name, std::size_t size) const {
        Handle f(
            CreateFileW(file(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        if (!f.valid())
            return false;
        std::string bytes(size, 'x');
        DWORD n = 0;
        return WriteFile(f.get(), bytes.data(), DWORD(bytes.size()), &n, nullptr) &&
               n == bytes.size();
    }

    // child_policy.exe of the build copied here as `name`, with the library
    // and the runtime DLLs beside it.
    bool copy_child(std::wstring const &name) const {
        return test::copy_child(L"child_policy", path(), name);
    }
};

// Arguments travel hex-encoded, so that backslashes, quotes and blanks in
// patterns and paths reach the child unchanged.
inline std::wstring hex_argument(std::string const &text) {
    static wchar_t const digits[] = L"0123456789abcdef";
    std::wstring out = L"x";
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

struct ChildOutput {
    bool finished = false;
    DWORD exit_code = 0;
    std::string output;

    // The value of the first line "<key>=<value>".
    std::string value(std::string const &key) const {
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
        return "<missing>";
    }
};

// A child process started with its output on a pipe.
class Child {
public:
    // Starts `program` with the arguments (hex-encoded); false when it could
    // not be started.
    bool start(std::wstring const &program, std::vector<std::string> const &arguments) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE read_raw = nullptr;
        HANDLE write_raw = nullptr;
        if (!CreatePipe(&read_raw, &write_raw, &inherit, 0))
            return false;
        read_.reset(read_raw);
        Handle write_end(write_raw);
        SetHandleInformation(read_.get(), HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = write_end.get();
        startup.hStdError = write_end.get();
        std::wstring command = L"\"" + program + L"\"";
        for (std::string const &a : arguments)
            command += L" " + hex_argument(a);
        std::vector<wchar_t> line(command.begin(), command.end());
        line.push_back(L'\0');
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            nullptr, &startup, &info))
            return false;
        process_.reset(info.hProcess);
        Handle thread(info.hThread);
        pid_ = info.dwProcessId;
        reader_ = std::thread([this] {
            char chunk[4096];
            DWORD n = 0;
            while (ReadFile(read_.get(), chunk, sizeof chunk, &n, nullptr) && n > 0)
                output_.output.append(chunk, n);
        });
        return true;
    }

    // Waits for the end (terminating the child after `timeout_ms`).
    ChildOutput const &finish(DWORD timeout_ms = 60000) {
        if (process_.valid()) {
            if (WaitForSingleObject(process_.get(), timeout_ms) == WAIT_OBJECT_0) {
                output_.finished = true;
                GetExitCodeProcess(process_.get(), &output_.exit_code);
            } else {
                TerminateProcess(process_.get(), 1);
                WaitForSingleObject(process_.get(), INFINITE);
            }
        }
        if (reader_.joinable())
            reader_.join();
        return output_;
    }

    ~Child() {
        if (process_.valid())
            finish(0);
        else if (reader_.joinable())
            reader_.join();
    }

    HANDLE process() const { return process_.get(); }
    DWORD pid() const { return pid_; }

private:
    Handle process_;
    Handle read_;
    DWORD pid_ = 0;
    std::thread reader_;
    ChildOutput output_;
};

// Runs a child to its end and returns what it printed.
inline ChildOutput run(std::wstring const &program, std::vector<std::string> const &arguments) {
    Child child;
    if (!child.start(program, arguments))
        return ChildOutput();
    return child.finish();
}

// The library's records of levels up to 7 go to a file while the object
// lives; then the logger is left without a file at its default level.
class LogCapture {
public:
    LogCapture() {
        wchar_t base[MAX_PATH + 1];
        DWORD n = GetTempPathW(MAX_PATH + 1, base);
        wchar_t name[64];
        static unsigned counter = 0;
        std::swprintf(name, 64, L"zem_policy_log_%lu_%u.txt", GetCurrentProcessId(), ++counter);
        path_ = std::wstring(base, n) + name;
        DeleteFileW(path_.c_str());
        Log control(nullptr, 0, 8);
        control.open(narrow(path_).c_str());
        control.level(7);
    }
    ~LogCapture() {
        {
            Log control(nullptr, 0, 8);
            control.open(nullptr);
            control.level(4);
        }
        DeleteFileW(path_.c_str());
    }
    LogCapture(LogCapture const &) = delete;
    LogCapture &operator=(LogCapture const &) = delete;

    std::string text() const {
        Handle f(CreateFileW(path_.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
        std::string content;
        if (!f.valid())
            return content;
        char chunk[4096];
        DWORD n = 0;
        while (ReadFile(f.get(), chunk, sizeof chunk, &n, nullptr) && n > 0)
            content.append(chunk, n);
        return content;
    }

    // How many times `needle` occurs in the records.
    int count(std::string const &needle) const {
        std::string all = text();
        int found = 0;
        for (std::size_t at = all.find(needle); at != std::string::npos;
             at = all.find(needle, at + 1))
            ++found;
        return found;
    }

private:
    std::wstring path_;
};

} // namespace policy_test
} // namespace vfs
} // namespace zem
