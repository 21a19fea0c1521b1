// Policy trees as text a person writes and reads: an XML form with one
// element per node kind, read and written with the library's TinyXML.
//
//   <PolicyGroup name="root">
//     <FilePolicy name="src" paths="C:\src\" mode="3" value="redirect" redirect="D:\dst\"/>
//     <ProcessPolicy name="tools" image="cmd.exe;powershell.exe" hook="on"/>
//   </PolicyGroup>
//
// docs/policy-format.md is the reference of the elements and attributes. A
// text that parses gives exactly the tree whose serialized bytes the
// dispatcher loads ("load_policy"); every tree the library can build prints
// to a text that parses back to the same tree, byte for byte.
#pragma once

#include "../config.h"

#include <string>

namespace zem {
namespace vfs {

class PolicyGroup;

class ZEM_VFS_API PolicyText {
public:
    // Where and why a text or a serialized tree was refused.
    struct ZEM_VFS_API Error {
        int line = 0;        // 1-based; 0 when the fault has no place in a text
        int column = 0;      // 1-based
        std::string element; // the element at fault (its node kind), if any
        std::string field;   // the attribute at fault, if any
        std::string message;
        // "line 3, column 5: FilePolicy value: ..." (the parts that are known).
        std::string text() const;
    };

    // Largest file load_file reads, and largest serialized tree from_bytes
    // accepts, in bytes.
    enum : uint64 { max_size = 64u << 20 };

    // A new tree that the caller ends with release(), or null with `error`
    // (if given) filled: nothing is ever half built.
    static PolicyGroup *parse(std::string const &xml, Error *error);
    // The XML text of a tree (UTF-8, two-space indentation, a final line feed).
    static std::string print(PolicyGroup &root);
    // The serialized tree; false when a node cannot be written.
    static bool to_bytes(PolicyGroup &root, std::string &bytes);
    // A tree from serialized bytes: exactly one whole group frame and nothing
    // after it; otherwise null with `error` filled.
    static PolicyGroup *from_bytes(std::string const &bytes, Error *error);
    // A file of either form: XML when its first byte other than blanks is
    // "<", serialized bytes otherwise. Only regular disk files up to
    // max_size are read.
    static PolicyGroup *load_file(char const *path, Error *error);
};

} // namespace vfs
} // namespace zem
