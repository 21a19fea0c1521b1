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
// Utility::name_match of two normalised texts.
bool name_in(std::wstring const &pattern, std::wstring const &name);

// An image-path pattern of ProcessMatch.
struct ProcessPattern {
    bool everything = false;                      // exactly "*"
    std::unique_ptr<Regex> regex;                 // "_:regex:" followed by the expression
    std::vector<std::wstring> names;              // the non-empty pieces of the name list
    bool current_form = false;                    // begins with "*": the current-process forms
    std::shared_ptr<ProcessPattern const> own;    // A of "*A:B" and "*A" (null: never matches)
    bool has_target = false;                      // "*A:B"
    std::shared_ptr<ProcessPattern const> target; // B (null: never matches)

    // Null for an empty pattern. Current-process forms nested deeper than
    // max_nesting match nothing.
    static std::shared_ptr<ProcessPattern const> build(std::string const &pattern, int depth);
    enum { max_nesting = 32 };
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

// A pattern of FileMatch.
struct FilePattern {
    enum Kind { list, extended, conditional };
    Kind kind = list;
    FileList references;                     // list
    ExtendedPattern ext;                     // extended, conditional
    std::unique_ptr<ProcessMatch> condition; // conditional with a process part

    // Null for an empty pattern.
    static std::shared_ptr<FilePattern const> build(std::string const &pattern);
};

// The non-empty pieces of a ";" list.
std::vector<std::wstring> split_list(std::wstring const &list);

} // namespace detail
} // namespace vfs
} // namespace zem
