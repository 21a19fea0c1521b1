#include "FilePolicy.h"

#include "PolicyVisitor.h"
#include "internal/LoadProgress.h"

#include "../log/Log.h"
#include "../serialize/Stream.h"
#include "../sys/Utility.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace zem {
namespace vfs {

// ---------------------------------------------------------------------------
// FilePolicy
// ---------------------------------------------------------------------------

FilePolicy FilePolicy::__protype{Protype()};

FilePolicy::FilePolicy(char const *name, char const *pattern, int mode, int policy,
                       char const *redir)
    : Policy("policy/FilePolicy", name), FileMatch(pattern, mode), policy_(policy),
      redir_(redir != nullptr ? redir : ""), module_policy_(false) {}

FilePolicy::FilePolicy(char const *name, FileMatch const &match, int policy, char const *redir)
    : Policy("policy/FilePolicy", name), FileMatch(match), policy_(policy),
      redir_(redir != nullptr ? redir : ""), module_policy_(false) {}

FilePolicy::FilePolicy(Protype const &p)
    : Policy("policy/FilePolicy", p), policy_(0), module_policy_(false) {}

FilePolicy::FilePolicy(char const *type, Protype const &p)
    : Policy(type, p), policy_(0), module_policy_(false) {}

FilePolicy::~FilePolicy() = default;

Policy *FilePolicy::clone() const {
    return new FilePolicy(*this);
}

bool FilePolicy::serialize(Stream &s) const {
    if (!Policy::serialize(s) || !serialize_match(s))
        return false;
    s << policy_ << redir_;
    return s.good();
}

bool FilePolicy::load(Stream &s) {
    if (!Policy::load(s) || !load_match(s))
        return false;
    detail::FieldReader in(s);
    return in.integer(policy_) && in.text(redir_);
}

bool FilePolicy::apply(PolicyVisitor &v) {
    return v.accept(*this);
}

std::string FilePolicy::get_mapped_file(char const *file) {
    // The file lists take "/" as "\": a path written either way maps to the
    // same place.
    std::string path = file != nullptr ? file : "";
    std::replace(path.begin(), path.end(), '/', '\\');
    std::string prefix;
    if (path.compare(0, 4, "\\??\\") == 0) {
        prefix = "\\??\\";
        path.erase(0, 4);
    }
    std::string source;
    std::string target;
    std::size_t semicolon = redir_.find(';');
    if (semicolon != std::string::npos) {
        source = redir_.substr(0, semicolon);
        target = redir_.substr(semicolon + 1);
    } else {
        source = this->file();
        target = redir_;
    }
    std::replace(source.begin(), source.end(), '/', '\\');
    if (!source.empty() && source.back() == '\\') {
        std::size_t n = source.size() - 1;
        if (path.size() >= n && _strnicmp(path.c_str(), source.c_str(), n) == 0) {
            std::string rest = path.substr(n);
            if (!rest.empty() && rest[0] == '\\')
                rest.erase(0, 1);
            return prefix + target + rest;
        }
    }
    return prefix + target;
}

// ---------------------------------------------------------------------------
// ModuleFileFilePolicy
// ---------------------------------------------------------------------------

ModuleFileFilePolicy ModuleFileFilePolicy::__protype{Protype()};

ModuleFileFilePolicy::ModuleFileFilePolicy(char const *name) : FilePolicy(name, "", 1, 0, "") {
    distinguish("policy/ModuleFileFilePolicy");
    set_module_policy();
}

ModuleFileFilePolicy::ModuleFileFilePolicy(Protype const &p)
    : FilePolicy("policy/ModuleFileFilePolicy", p) {
    set_module_policy();
}

ModuleFileFilePolicy::ModuleFileFilePolicy(char const *type, Protype const &p)
    : FilePolicy(type, p) {
    set_module_policy();
}

ModuleFileFilePolicy::~ModuleFileFilePolicy() = default;

Policy *ModuleFileFilePolicy::clone() const {
    return new ModuleFileFilePolicy(*this);
}

bool ModuleFileFilePolicy::match_file(char const *file, int mode) const {
    if (mode != 1 || file == nullptr)
        return false;
    std::size_t length = std::strlen(file);
    if (length < 4 || _stricmp(file + length - 4, ".dll") != 0)
        return false;
    if (GetFileAttributesW(Utility::utf82w(file).c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    char const *base = std::strrchr(file, '\\');
    if (base == nullptr)
        base = std::strrchr(file, '/');
    if (base == nullptr)
        return false;
    if (GetModuleHandleA(base + 1) == nullptr)
        return false;
    ZEM_LOG(7, "ignore dll " << file);
    return true;
}

} // namespace vfs
} // namespace zem
