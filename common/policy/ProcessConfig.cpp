// Registry access for program settings. Values are read into buffers sized
// from the value itself, or into fixed buffers whose size is passed to the
// system, so a value of any type and size only ever yields false.
#include "ProcessConfig.h"

#include "../sys/internal/Handles.h"
#include "../sys/internal/Ntdll.h"
#include "../sys/internal/NoThrow.h"

#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zem {
namespace vfs {

namespace {

char const kRootKey[] = "Software\\Tavrin Labs\\Quillon";
const std::size_t kMaxKeyPath = 259;

// The longest text get_int accepts, and the buffer it reads into.
const std::size_t kMaxIntText = 29;
const DWORD kIntBuffer = 30;

// A whole decimal number that fits an int: leading blanks and a sign are
// allowed, nothing may follow.
[[nodiscard]] bool parse_int(char const *text, int &out) {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE)
        return false;
    if (value < INT_MIN || value > INT_MAX)
        return false;
    out = static_cast<int>(value);
    return true;
}

} // namespace

ProcessConfig::ProcessConfig(int root, char const *name, bool create) : key_(nullptr) {
    HKEY hive = root == 0 ? HKEY_LOCAL_MACHINE : root == 1 ? HKEY_CURRENT_USER : nullptr;
    if (hive == nullptr)
        return;
    std::string path = kRootKey;
    bool const named = detail::no_throw(false, [&] {
        if (name == nullptr) {
            std::string image;
            if (!detail::current_image_path(image))
                return false;
            std::string base = detail::image_base_name(image);
            if (base.empty())
                return false;
            path.append("\\").append(base);
        } else if (*name != '\0') {
            path.append("\\").append(name);
        }
        return true;
    });
    if (!named || path.size() > kMaxKeyPath)
        return;
    HKEY key = nullptr;
    LONG result =
        create ? RegCreateKeyA(hive, path.c_str(), &key) : RegOpenKeyA(hive, path.c_str(), &key);
    if (result == ERROR_SUCCESS)
        key_ = key;
}

ProcessConfig::~ProcessConfig() {
    detail::RegistryKey owned(static_cast<HKEY>(key_));
}

bool ProcessConfig::has_key(char const *name) const {
    if (key_ == nullptr || name == nullptr)
        return false;
    return RegQueryValueExA(static_cast<HKEY>(key_), name, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

bool ProcessConfig::get_int(char const *name, int &out) const {
    if (key_ == nullptr || name == nullptr)
        return false;
    char buffer[kIntBuffer + 1];
    std::memset(buffer, 0, sizeof buffer);
    DWORD type = REG_NONE;
    DWORD size = kIntBuffer;
    if (RegQueryValueExA(static_cast<HKEY>(key_), name, nullptr, &type,
                         reinterpret_cast<BYTE *>(buffer), &size) != ERROR_SUCCESS)
        return false;
    if (type == REG_DWORD) {
        if (size != sizeof(DWORD))
            return false;
        DWORD value = 0;
        std::memcpy(&value, buffer, sizeof value);
        out = static_cast<int>(value);
        return true;
    }
    if (type != REG_SZ || size > kIntBuffer)
        return false;
    buffer[size] = '\0';
    std::size_t length = std::strlen(buffer);
    if (length == 0 || length > kMaxIntText)
        return false;
    return parse_int(buffer, out);
}

bool ProcessConfig::set_int(char const *name, int value) {
    if (key_ == nullptr || name == nullptr)
        return false;
    DWORD data = static_cast<DWORD>(value);
    return RegSetValueExA(static_cast<HKEY>(key_), name, 0, REG_DWORD,
                          reinterpret_cast<BYTE const *>(&data), sizeof data) == ERROR_SUCCESS;
}

uint64 ProcessConfig::get_data(char const *name, void *buffer, uint64 size) const {
    if (key_ == nullptr || name == nullptr || buffer == nullptr || size == 0)
        return 0;
    DWORD room = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    if (RegQueryValueExA(static_cast<HKEY>(key_), name, nullptr, nullptr,
                         static_cast<BYTE *>(buffer), &room) != ERROR_SUCCESS)
        return 0;
    return room;
}

bool ProcessConfig::set_data(char const *name, void const *data, uint64 size) {
    if (key_ == nullptr || name == nullptr || size > MAXDWORD || (data == nullptr && size != 0))
        return false;
    return RegSetValueExA(static_cast<HKEY>(key_), name, 0, REG_BINARY,
                          static_cast<BYTE const *>(data),
                          static_cast<DWORD>(size)) == ERROR_SUCCESS;
}

bool ProcessConfig::get_string(char const *name, std::string &out) const {
    if (key_ == nullptr || name == nullptr)
        return false;
    HKEY key = static_cast<HKEY>(key_);
    return detail::no_throw(false, [&] {
        // A value that grows between the size query and the read is asked
        // for again; one that keeps growing is given up.
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD type = REG_NONE;
            DWORD size = 0;
            if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
                return false;
            if (type == REG_DWORD) {
                DWORD value = 0;
                DWORD read = sizeof value;
                if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value),
                                     &read) != ERROR_SUCCESS ||
                    type != REG_DWORD || read != sizeof value)
                    return false;
                char text[16];
                std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
                out = text;
                return true;
            }
            if (type != REG_SZ)
                return false;
            std::vector<char> buffer(std::size_t(size) + 1, '\0');
            DWORD read = size;
            LONG result = RegQueryValueExA(key, name, nullptr, &type,
                                           reinterpret_cast<BYTE *>(buffer.data()), &read);
            if (result == ERROR_MORE_DATA)
                continue;
            if (result != ERROR_SUCCESS || type != REG_SZ)
                return false;
            buffer[read <= size ? read : size] = '\0';
            out.assign(buffer.data());
            return true;
        }
        return false;
    });
}

bool ProcessConfig::set_string(char const *name, char const *value) {
    if (key_ == nullptr || name == nullptr || value == nullptr)
        return false;
    std::size_t length = std::strlen(value);
    if (length >= MAXDWORD)
        return false;
    return RegSetValueExA(static_cast<HKEY>(key_), name, 0, REG_SZ,
                          reinterpret_cast<BYTE const *>(value),
                          static_cast<DWORD>(length + 1)) == ERROR_SUCCESS;
}

bool ProcessConfig::delete_key(char const *name) {
    if (key_ == nullptr || name == nullptr || *name == '\0')
        return false;
    return RegDeleteKeyA(static_cast<HKEY>(key_), name) == ERROR_SUCCESS;
}

} // namespace vfs
} // namespace zem
