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
    std::vector<std::wstring> references;

    void build(std::string const &pattern);
};

// A pattern of FileMatch.
struct FilePattern {
    enum Kind { list, extended, conditional };
    Kind kind = list;
    std::vector<std::wstring> references;    // list
    ExtendedPattern ext;                     // extended, conditional
    std::unique_ptr<ProcessMatch> condition; // conditional with a process part

    // Null for an empty pattern.
    static std::shared_ptr<FilePattern const> build(std::string const &pattern);
};

// The non-empty pieces of a ";" list, converted from UTF-8 as a whole.
std::vector<std::wstring> split_list(std::wstring const &list);

} // namespace detail
} // namespace vfs
} // namespace zem
