// Helpers of the policy tests: round trips through an in-memory stream,
// questions asked inside copies of child_policy.exe started under chosen
// image names, and capture of the library's log records.
#pragma once

#include "log/Log.h"
#include "serialize/Stream.h"
#include "serialize/Variable.h"
#include "support/ChildProcess.h"
#include "support/MemoryStreamBuf.h"

#include <windows.h>

#include <string>
#include <vector>

namespace zem {
namespace vfs {
namespace policy_test {

using namespace test;

inline std::string frame_of(Variable const &object) {
    MemoryStreamBuf buf;
    Stream s(buf);
    object.serialize(s);
    return buf.bytes();
}

inline Variable *load_from(std::string const &bytes) {
    MemoryStreamBuf buf(bytes);
    Stream s(buf);
    return s.load();
}

// A copy of the object read back from its own frame; null when that fails.
template <class T> T *round_trip(T const &object) {
    Variable *v = load_from(frame_of(object));
    T *typed = dynamic_cast<T *>(v);
    if (typed == nullptr)
        Variable::release(v);
    return typed;
}

// Runs a copy of child_policy.exe named `image` in `folder` with `arguments`
// (hex-encoded, so that backslashes and blanks arrive unchanged); `running`
// sees the process while it runs.
inline ChildResult ask_child(TempFolder const &folder, std::wstring const &image,
                             std::vector<std::string> const &arguments,
                             std::function<void(DWORD, HANDLE)> const &running = {}) {
    if (!copy_child(L"child_policy", folder.path(), image))
        return ChildResult();
    std::wstring line;
    for (std::string const &a : arguments) {
        line += L" x";
        for (unsigned char c : a)
            line += {L"0123456789abcdef"[c >> 4], L"0123456789abcdef"[c & 15]};
    }
    return run_child(folder.file(image), line, 0, running);
}

// The library's records up to level 7 go to a file while the object lives.
struct LogCapture {
    TempFolder folder{L"zem_policy_log"};
    std::string path = folder.narrow_file("log.txt");
    LogCapture() {
        Log(nullptr, 0, 8).open(path.c_str());
        Log(nullptr, 0, 8).level(7);
    }
    ~LogCapture() {
        Log(nullptr, 0, 8).open(nullptr);
        Log(nullptr, 0, 8).level(4);
    }
    std::string text() const { return read_file(widen(path)); }
    int count(std::string const &needle) const {
        std::string const all = text();
        int found = 0;
        for (std::size_t at = all.find(needle); at != std::string::npos;
             at = all.find(needle, at + 1))
            ++found;
        return found;
    }
};

} // namespace policy_test
} // namespace vfs
} // namespace zem
