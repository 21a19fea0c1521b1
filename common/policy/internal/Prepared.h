// What the matchers derive from their pattern texts once, when a pattern is
// set, instead of on every question: the wide form of the references and
// names, the compiled regular expressions, the process matchers named inside
// a pattern. Everything here depends on the pattern text alone and is never
// changed after it is built, so any number of readers may use it at once.
#pragma once

#include "../ProcessMatch.h"

#include <memory>
#include <string>
#include <vector>

namespace zem {
namespace vfs {

template <class T> class CPatternT;
class FileMatch;

namespace detail {

// A regular expression compiled with the ignore-case flag only; search()
// answers what compiling and searching anew would answer.
class Regex {
public:
    explicit Regex(std::wstring const &expression);
    ~Regex();
    Regex(Regex const &) = delete;
    Regex &operator=(Regex const &) = delete;

    bool search(std::wstring const &text) const;

private:
    std::unique_ptr<CPatternT<wchar_t>> compiled_;
};

// The references of a file list, held in one block (a walk over many
// policies touches few cache lines).
struct FileList {
    struct Reference {
        std::size_t at;   // into text
        std::size_t size; // units
        bool ascii;       // only ASCII units: compared without the runtime's folding
    };
    std::wstring text; // the references, each followed by a NUL
    std::vector<Reference> references;

    // The non-empty pieces of a ";" list.
    static FileList build(std::wstring const &list);
};

// A path as Utility::file_in_path sees it: "/" as "\", no leading "\??\".
struct TestedPath {
    explicit TestedPath(std::wstring path);
    std::wstring text;
    bool ascii;
};

// Utility::file_in_path (wide form) of a prepared reference and path.
bool file_in_path(FileList const &list, FileList::Reference const &reference,
                  TestedPath const &path);

// A name or an image path as Utility::name_match sees it: trimmed,
// upper-cased, "/" as "\".
std::wstring normalised_name(std::wstring const &text);
// Utility::name_match of two normalised texts, the pattern given as the
// `size` units at `pattern`.
bool name_in(wchar_t const *pattern, std::size_t size, std::wstring const &name);

// The text of a whole image-path pattern, built once and shared by every
// level of the current-process forms nested in it: a level is a range of
// this text, so nesting never copies the pattern.
struct PatternText {
    std::wstring raw;                    // the pattern as a wide string
    std::wstring normalised;             // upper-cased, "/" as "\": the name-list form
    std::vector<std::size_t> semicolons; // positions of ";" in raw, ascending
};

// An image-path pattern of ProcessMatch (one level of it).
struct ProcessPattern {
    bool everything = false;                      // exactly "*"
    std::unique_ptr<Regex> regex;                 // "_:regex:" followed by the expression
    std::shared_ptr<PatternText const> text;      // the whole pattern
    std::size_t from = 0, to = 0;                 // this level's text within it
    bool current_form = false;                    // begins with "*": the current-process forms
    std::shared_ptr<ProcessPattern const> own;    // A of "*A:B" and "*A" (null: never matches)
    bool has_target = false;                      // "*A:B"
    std::shared_ptr<ProcessPattern const> target; // B (null: never matches)

    // Null for an empty pattern. Current-process forms nested deeper than
    // max_nesting match nothing.
    static std::shared_ptr<ProcessPattern const> build(std::string const &pattern);
    // Some non-empty piece of this level's ";" list names components of the
    // image (given in normalised form).
    bool names_match(std::wstring const &image) const;
    enum { max_nesting = 32 };

private:
    static std::shared_ptr<ProcessPattern const>
    build(std::shared_ptr<PatternText const> const &text, std::size_t from, std::size_t to,
          int depth);
};

// An extended file pattern: a chain of negations and share steps, then one
// final test.
struct ExtendedPattern {
    enum Step { negate, share };
    enum Final { drive_remote, drive_cdrom, drive_usb, unc, regex, list };

    struct Level {
        Step step;
        bool share_prefix; // the level's text begins with "disk:unc"
    };
    std::vector<Level> chain;
    Final final = list;
    bool final_share_prefix = false;
    bool invert_regex = false;
    std::unique_ptr<Regex> expression;
    FileList references;

    void build(std::string const &pattern);
};

// The process part of a conditional file pattern. ProcessMatch has no
// virtual destructor (its layout is fixed), so it is owned through this
// final holder and always destroyed as what it is.
struct ProcessCondition final {
    explicit ProcessCondition(char const *pattern) : match(pattern) {}
    ProcessMatch match;
};

// A pattern of FileMatch.
struct FilePattern {
    enum Kind { list, extended, conditional };
    Kind kind = list;
    FileList references;                         // list
    ExtendedPattern ext;                         // extended, conditional
    std::unique_ptr<ProcessCondition> condition; // conditional with a process part

    // Null for an empty pattern.
    static std::shared_ptr<FilePattern const> build(std::string const &pattern);
};

// Some reference of the list covers the path.
bool list_covers(FileList const &list, TestedPath const &path);

// What a file decision reads of a FileMatch beyond its public face.
struct FileMatchAccess {
    // The references of a plain path list (not a size test, not an extended
    // or conditional pattern); null for every other match.
    static FileList const *plain_list(FileMatch const &m);
};

// The non-empty pieces of a ";" list.
std::vector<std::wstring> split_list(std::wstring const &list);

} // namespace detail
} // namespace vfs
} // namespace zem
