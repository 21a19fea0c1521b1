#include "FileMatch.h"

#include "internal/LoadProgress.h"
#include "internal/PolicyIndex.h"
#include "internal/Prepared.h"

#include "../serialize/Stream.h"
#include "../sys/Utility.h"
#include "../sys/internal/Handles.h"

#include <windows.h>

#include <cstring>
#include <utility>

namespace zem {
namespace vfs {

namespace {

bool starts_with(std::string const &text, char const *prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool starts_with_icase(std::string const &text, char const *prefix) {
    std::size_t n = std::strlen(prefix);
    return text.size() >= n && _strnicmp(text.c_str(), prefix, n) == 0;
}

char const unc_prefix[] = "UNC\\";                        // 4 characters
char const csc_prefix[] = "\\Device\\Csc\\.\\.\\";        // 16 characters
char const redirector[] = "\\Device\\LanmanRedirector\\"; // 25 characters

// The system drive type of the path's drive; 0 for a path without a drive
// letter.
unsigned drive_type(std::string const &path) {
    if (path.size() < 2 || path[1] != ':')
        return 0;
    wchar_t root[4] = {wchar_t(static_cast<unsigned char>(path[0])), L':', L'\\', L'\0'};
    return GetDriveTypeW(root);
}

// A path on a mapped network drive becomes the share path it stands for:
// "UNC" followed by the server and share of the drive's redirector target,
// then the rest of the path after the drive letter. Unchanged when the
// device cannot be asked or is not a share.
void rewrite_share(std::string &path) {
    char device[3] = {path[0], ':', '\0'};
    char target[260];
    DWORD n = QueryDosDeviceA(device, target, sizeof target);
    if (n == 0 || n > sizeof target)
        return;
    target[sizeof target - 1] = '\0';
    std::string t(target);
    if (!starts_with_icase(t, redirector))
        return;
    std::size_t slash = t.find('\\', sizeof redirector - 1);
    if (slash == std::string::npos)
        return;
    path = "UNC" + t.substr(slash) + path.substr(2);
}

// A share path "UNC\..." that is not one of the product's own shares.
bool is_foreign_share(std::string const &path) {
    if (!starts_with_icase(path, unc_prefix))
        return false;
    std::string rest = path.substr(4);
    return !starts_with_icase(rest, "TORVEX-") && !starts_with_icase(rest, "localhost\\qvzr_");
}

bool in_list(detail::FileList const &list, std::wstring path) {
    if (list.references.empty())
        return false;
    return detail::list_covers(list, detail::TestedPath(std::move(path)));
}

bool all_ascii(std::wstring const &text) {
    for (wchar_t c : text) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

wchar_t ascii_lower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? wchar_t(c + (L'a' - L'A')) : c;
}

// _wcsnicmp(a, b, n) == 0 for NUL-terminated texts of ASCII units, where the
// runtime folds exactly the ASCII letters.
bool ascii_prefix_equal(wchar_t const *a, wchar_t const *b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
        if (a[i] == L'\0')
            return true;
    }
    return true;
}

// Evaluates an extended pattern on a path (narrow, UTF-8).
bool extended_matches(detail::ExtendedPattern const &e, std::string path) {
    bool invert = false;
    for (detail::ExtendedPattern::Level const &level : e.chain) {
        if (level.share_prefix && drive_type(path) == DRIVE_REMOTE)
            rewrite_share(path);
        if (level.step == detail::ExtendedPattern::negate) {
            invert = !invert;
            continue;
        }
        // A share step: the rest of the share path, or of the offline-files
        // cache path, goes on to the next level.
        if (starts_with_icase(path, unc_prefix)) {
            if (!is_foreign_share(path))
                return invert;
            path.erase(0, 4);
        } else if (starts_with_icase(path, csc_prefix)) {
            path.erase(0, 16);
        } else {
            return invert;
        }
    }
    if (e.final_share_prefix && drive_type(path) == DRIVE_REMOTE)
        rewrite_share(path);
    bool result = false;
    switch (e.final) {
    case detail::ExtendedPattern::drive_remote:
        result = drive_type(path) == DRIVE_REMOTE;
        break;
    case detail::ExtendedPattern::drive_cdrom:
        result = drive_type(path) == DRIVE_CDROM;
        break;
    case detail::ExtendedPattern::drive_usb:
        result = drive_type(path) == DRIVE_REMOVABLE;
        break;
    case detail::ExtendedPattern::unc:
        result = is_foreign_share(path);
        break;
    case detail::ExtendedPattern::regex:
        result = e.expression->search(Utility::utf82w(path)) != e.invert_regex;
        break;
    case detail::ExtendedPattern::list:
        result = in_list(e.references, Utility::utf82w(path));
        break;
    }
    return result != invert;
}

} // namespace

// ---------------------------------------------------------------------------
// Prepared patterns
// ---------------------------------------------------------------------------

namespace detail {

TestedPath::TestedPath(std::wstring path) : text(std::move(path)) {
    for (wchar_t &c : text) {
        if (c == L'/')
            c = L'\\';
    }
    if (text.compare(0, 4, L"\\??\\") == 0)
        text.erase(0, 4);
    ascii = all_ascii(text);
}

FileList FileList::build(std::wstring const &list) {
    FileList out;
    std::vector<std::wstring> pieces = split_list(list);
    out.references.reserve(pieces.size());
    for (std::wstring const &piece : pieces) {
        out.references.push_back(Reference{out.text.size(), piece.size(), all_ascii(piece)});
        out.text += piece;
        out.text += L'\0';
    }
    return out;
}

// The steps of Utility::file_in_path on a path normalised once: the path
// equals the reference; or the reference names a directory ("\" at its end)
// and the path lies beneath it or is the directory itself; or the reference
// without that "\" is followed by one in the path. Texts of ASCII units are
// compared here, any other through the runtime as the utility does.
bool file_in_path(FileList const &list, FileList::Reference const &reference,
                  TestedPath const &path) {
    wchar_t const *r = list.text.c_str() + reference.at;
    std::wstring const &p = path.text;
    std::size_t const n = reference.size;
    if (p.empty() || n == 0)
        return false;
    bool const ascii = reference.ascii && path.ascii;
    auto equal = [&](std::size_t count) {
        return ascii ? ascii_prefix_equal(p.c_str(), r, count)
                     : _wcsnicmp(p.c_str(), r, count) == 0;
    };
    if (p.size() == n && equal(n))
        return true;
    if (r[n - 1] == L'\\') {
        if (equal(n))
            return true;
        // The directory itself, written without its trailing backslash.
        return p.size() == n - 1 && equal(n - 1);
    }
    return p.size() > n && p[n] == L'\\' && equal(n);
}

bool list_covers(FileList const &list, TestedPath const &path) {
    for (FileList::Reference const &reference : list.references) {
        if (file_in_path(list, reference, path))
            return true;
    }
    return false;
}

FileList const *FileMatchAccess::plain_list(FileMatch const &m) {
    FilePattern const *p = m.prepared_.get();
    if (m.min_size_ != 0 || p == nullptr || p->kind != FilePattern::list)
        return nullptr;
    return &p->references;
}

void ExtendedPattern::build(std::string const &pattern) {
    // Offsets into the pattern, never copies of its rest: a chain of many
    // prefixes costs its length once.
    std::size_t at = 0;
    auto begins = [&](char const *prefix) {
        return pattern.compare(at, std::strlen(prefix), prefix) == 0;
    };
    auto is = [&](char const *whole) { return pattern.compare(at, std::string::npos, whole) == 0; };
    for (;;) {
        bool share_prefix = begins("disk:unc");
        if (is("disk:remote")) {
            final = drive_remote;
        } else if (is("disk:cdrom")) {
            final = drive_cdrom;
        } else if (is("disk:usb")) {
            final = drive_usb;
        } else if (begins("disk:unc:")) {
            chain.push_back(Level{share, true});
            at += 9;
            continue;
        } else if (is("disk:unc")) {
            final = unc;
        } else if (begins("regex:") && pattern.size() > at + 6) {
            final = regex;
            std::size_t from = at + 6;
            if (pattern[from] == '!') {
                invert_regex = true;
                ++from;
            }
            expression.reset(new Regex(Utility::a2w(pattern.substr(from))));
        } else if (begins("!:")) {
            chain.push_back(Level{negate, false});
            at += 2;
            continue;
        } else {
            final = list;
            references = FileList::build(Utility::utf82w(pattern.substr(at)));
        }
        final_share_prefix = share_prefix;
        return;
    }
}

std::shared_ptr<FilePattern const> FilePattern::build(std::string const &pattern) {
    if (pattern.empty())
        return nullptr;
    std::shared_ptr<FilePattern> p = std::make_shared<FilePattern>();
    if (starts_with(pattern, "_:")) {
        p->kind = extended;
        p->ext.build(pattern.substr(2));
    } else if (starts_with(pattern, "$:")) {
        p->kind = conditional;
        std::string rest = pattern.substr(2);
        std::size_t colon = rest.find(':');
        if (colon == std::string::npos) {
            p->ext.build(rest);
        } else {
            p->condition.reset(new ProcessCondition(rest.substr(0, colon).c_str()));
            p->ext.build(rest.substr(colon + 1));
        }
    } else {
        p->kind = list;
        p->references = FileList::build(Utility::utf82w(pattern));
    }
    return p;
}

} // namespace detail

// ---------------------------------------------------------------------------
// FileMatch
// ---------------------------------------------------------------------------

FileMatch::FileMatch() : min_size_(0), mode_(0) {}

FileMatch::FileMatch(char const *pattern, int mode)
    : pattern_(pattern != nullptr ? pattern : ""), min_size_(0), mode_(mode) {
    prepare();
}

FileMatch::FileMatch(uint64 min_size, int mode) : min_size_(min_size), mode_(mode) {}

FileMatch::FileMatch(FileMatch const &other) = default;

FileMatch &FileMatch::operator=(FileMatch const &other) {
    pattern_ = other.pattern_;
    min_size_ = other.min_size_;
    mode_ = other.mode_;
    prepared_ = other.prepared_;
    detail::policy_tree_changed();
    return *this;
}

FileMatch::~FileMatch() = default;

void FileMatch::prepare() {
    prepared_ = detail::FilePattern::build(pattern_);
}

bool FileMatch::match_file(char const *file, int mode) {
    if ((mode_ & mode) == 0)
        return false;
    if (min_size_ != 0)
        return size_test(file);
    detail::FilePattern const *p = prepared_.get();
    if (p == nullptr)
        return true;
    char const *path = file != nullptr ? file : "";
    switch (p->kind) {
    case detail::FilePattern::extended:
        if (std::strncmp(path, "\\??\\", 4) == 0)
            path += 4;
        return extended_matches(p->ext, path);
    case detail::FilePattern::conditional:
        if (p->condition && !p->condition->match.match_process(nullptr, nullptr))
            return false;
        return extended_matches(p->ext, path);
    case detail::FilePattern::list:
        break;
    }
    return in_list(p->references, Utility::utf82w(path));
}

bool FileMatch::size_test(char const *file) const {
    if (file == nullptr)
        return false;
    detail::FileHandle handle(CreateFileW(Utility::utf82w(file).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle)
        return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle.get(), &size))
        return false;
    return uint64(size.QuadPart) >= min_size_;
}

bool FileMatch::serialize_match(Stream &s) const {
    s << pattern_ << min_size_ << mode_;
    return s.good();
}

bool FileMatch::load_match(Stream &s) {
    std::string pattern;
    uint64 min_size = min_size_;
    int mode = mode_;
    bool whole;
    {
        detail::FieldReader in(s);
        whole = in.text(pattern) && in.integer(min_size) && in.integer(mode);
    }
    pattern_.swap(pattern);
    min_size_ = min_size;
    mode_ = mode;
    prepare();
    // A new object joins a tree through add(), which tells the index; a
    // match changed in place tells it here.
    detail::policy_tree_changed();
    return whole && s.good();
}

} // namespace vfs
} // namespace zem
