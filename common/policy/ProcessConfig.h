// Program settings in the registry: a small key/value store over one key
// under "Software\Tavrin Labs\Quillon" of HKEY_LOCAL_MACHINE or
// HKEY_CURRENT_USER, either the key common to all programs or the subkey of
// one program, named after its executable.
#pragma once

#include <string>

#include "../config.h"

namespace zem {
namespace vfs {

// Owns the open key and closes it when destroyed. An object whose key could
// not be opened answers every operation with false (0 for get_data) without
// touching the registry; so does every operation given a null value name.
// Registry errors become false with the output left unchanged; nothing is
// logged and nothing throws.
class ZEM_VFS_API ProcessConfig {
public:
    // `root` 0 selects HKEY_LOCAL_MACHINE, 1 HKEY_CURRENT_USER; anything else
    // opens nothing. The key is "Software\Tavrin Labs\Quillon\<name>" (`name`
    // may hold "\" to reach deeper), the root key itself for an empty name,
    // and for a null name the subkey named after the current process's image
    // without directory and extension (C:\Apps\Tool.new.exe uses "Tool.new").
    // A key path longer than 259 characters opens nothing. `create` creates a
    // missing key; otherwise only an existing key is opened.
    ProcessConfig(int root, char const *name, bool create);
    ~ProcessConfig();
    ProcessConfig(ProcessConfig const &) = delete;
    ProcessConfig &operator=(ProcessConfig const &) = delete;

    // A value of that name exists (any type). Subkeys are not values.
    bool has_key(char const *name) const;

    // REG_DWORD (exactly 4 bytes), or REG_SZ holding a whole decimal number
    // of at most 29 characters that fits an int. Anything else: false.
    bool get_int(char const *name, int &out) const;
    // Writes a REG_DWORD.
    bool set_int(char const *name, int value);

    // The raw bytes of a value of any type; the number of bytes read, 0 on
    // any failure, including a buffer smaller than the value.
    uint64 get_data(char const *name, void *buffer, uint64 size) const;
    // Writes a REG_BINARY of `size` bytes.
    bool set_data(char const *name, void const *data, uint64 size);

    // REG_SZ: the text up to its first NUL (a text stored without its
    // terminator is read whole). REG_DWORD: the number as a signed decimal.
    bool get_string(char const *name, std::string &out) const;
    // Writes a REG_SZ with its terminating NUL; false for a null value.
    bool set_string(char const *name, char const *value);

    // Deletes the subkey `name` (not a value) of the open key. An empty name
    // is refused: it would name the open key itself.
    bool delete_key(char const *name);

private:
    void *key_;
};

} // namespace vfs
} // namespace zem
