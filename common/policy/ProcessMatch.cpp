#include "ProcessMatch.h"

#include "internal/LoadProgress.h"
#include "internal/Prepared.h"

#include "../log/Log.h"
#include "../regex/RegexPattern.h"
#include "../serialize/Stream.h"
#include "../service/WinServiceCtrl.h"
#include "../sys/Ntdll.h"
#include "../sys/Utility.h"
#include "../sys/internal/Handles.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <utility>
#include <vector>

namespace zem {
namespace vfs {

// ---------------------------------------------------------------------------
// Prepared patterns
// ---------------------------------------------------------------------------

namespace detail {

namespace {

// The longest text the expression engine is given (as its own entry point).
std::size_t const max_regex_text = std::size_t(INT_MAX / 4);

} // namespace

Regex::Regex(std::wstring const &expression) {
    if (expression.size() <= max_regex_text)
        compiled_.reset(
            new CPatternT<wchar_t>(expression.c_str(), int(expression.size()), REGEX_IGNORECASE));
}

Regex::~Regex() = default;

bool Regex::search(std::wstring const &text) const {
    if (!compiled_ || text.size() > max_regex_text)
        return false;
    return compiled_->Match(text.c_str(), int(text.size())).IsMatched();
}

std::vector<std::wstring> split_list(std::wstring const &list) {
    std::vector<std::wstring> pieces;
    std::size_t at = 0;
    for (;;) {
        std::size_t end = list.find(L';', at);
        std::size_t stop = end == std::wstring::npos ? list.size() : end;
        if (stop > at)
            pieces.push_back(list.substr(at, stop - at));
        if (end == std::wstring::npos)
            break;
        at = end + 1;
    }
    return pieces;
}

std::wstring normalised_name(std::wstring const &text) {
    std::wstring out = Utility::to_upper(Utility::trim_right(Utility::trim_left(text)));
    for (wchar_t &c : out) {
        if (c == L'/')
            c = L'\\';
    }
    return out;
}

// The component search of Utility::name_match on normalised texts: an
// occurrence bounded by the ends of the name, by "\" in the name, or by a
// "\" at that end of the pattern.
bool name_in(wchar_t const *pattern, std::size_t size, std::wstring const &name) {
    if (size == 0)
        return name.empty();
    bool const open_left = pattern[0] == L'\\';
    bool const open_right = pattern[size - 1] == L'\\';
    for (std::size_t p = name.find(pattern, 0, size); p != std::wstring::npos;
         p = name.find(pattern, p + 1, size)) {
        std::size_t e = p + size;
        bool left = p == 0 || open_left || name[p - 1] == L'\\';
        bool right = e == name.size() || open_right || name[e] == L'\\';
        if (left && right)
            return true;
    }
    return false;
}

namespace {

bool is_blank(wchar_t c) {
    return c == L' ' || c == L'\n' || c == L'\r' || c == L'\t';
}

bool begins(std::wstring const &text, std::size_t from, std::size_t to, wchar_t const *prefix) {
    std::size_t n = std::wcslen(prefix);
    return to - from >= n && text.compare(from, n, prefix) == 0;
}

} // namespace

std::shared_ptr<ProcessPattern const> ProcessPattern::build(std::string const &pattern) {
    std::shared_ptr<PatternText> text = std::make_shared<PatternText>();
    text->raw = Utility::utf82w(pattern);
    text->normalised = Utility::to_upper(text->raw);
    for (std::size_t i = 0; i < text->raw.size(); ++i) {
        if (text->normalised[i] == L'/')
            text->normalised[i] = L'\\';
        if (text->raw[i] == L';')
            text->semicolons.push_back(i);
    }
    return build(text, 0, text->raw.size(), 0);
}

std::shared_ptr<ProcessPattern const>
ProcessPattern::build(std::shared_ptr<PatternText const> const &text, std::size_t from,
                      std::size_t to, int depth) {
    if (from >= to)
        return nullptr;
    std::wstring const &raw = text->raw;
    std::shared_ptr<ProcessPattern> p = std::make_shared<ProcessPattern>();
    p->text = text;
    p->from = from;
    p->to = to;
    if (to - from == 1 && raw[from] == L'*') {
        p->everything = true;
        return p;
    }
    if (begins(raw, from, to, L"_:regex:"))
        p->regex.reset(new Regex(raw.substr(from + 8, to - from - 8)));
    if (raw[from] == L'*') {
        p->current_form = true;
        if (depth < max_nesting) {
            std::size_t colon = raw.find(L':', from);
            if (colon != std::wstring::npos && colon < to) {
                p->has_target = true;
                p->own = build(text, from + 1, colon, depth + 1);
                p->target = build(text, colon + 1, to, depth + 1);
            } else {
                p->own = build(text, from + 1, to, depth + 1);
            }
        }
    }
    return p;
}

bool ProcessPattern::names_match(std::wstring const &image) const {
    std::wstring const &names = text->normalised;
    std::vector<std::size_t> const &semis = text->semicolons;
    std::size_t at = from;
    auto next = std::lower_bound(semis.begin(), semis.end(), at);
    for (;;) {
        std::size_t stop = next != semis.end() && *next < to ? *next : to;
        std::size_t b = at, e = stop;
        while (b < e && is_blank(names[b]))
            ++b;
        while (e > b && is_blank(names[e - 1]))
            --e;
        // A piece of blanks alone names the empty image, as name_match has it.
        if (stop > at && name_in(names.data() + b, e - b, image))
            return true;
        if (stop == to)
            return false;
        at = stop + 1;
        ++next;
    }
}

} // namespace detail

// ---------------------------------------------------------------------------
// PolicyMatch
// ---------------------------------------------------------------------------

bool PolicyMatch::match_file(char const *, int) {
    return false;
}

bool PolicyMatch::match_process(char const *, void *) {
    return false;
}

// ---------------------------------------------------------------------------
// ProcessMatch
// ---------------------------------------------------------------------------

namespace {

// The image path of a process (the current one when `process` is null).
[[nodiscard]] bool image_of(void *process, std::wstring &image) {
    wchar_t buffer[260];
    buffer[0] = L'\0';
    if (!ntdll::GetProcessFileNameW(process != nullptr ? process : GetCurrentProcess(), buffer,
                                    260))
        return false;
    buffer[259] = L'\0';
    image = buffer;
    return true;
}

// An image path with its form for the name test, made once when needed.
class Image {
public:
    Image() = default;
    explicit Image(std::wstring path) : path_(std::move(path)) {}
    void assign(std::wstring path) { path_ = std::move(path); }
    std::wstring const &path() const { return path_; }
    std::wstring const &normalised() {
        if (!normalised_ready_) {
            normalised_ = detail::normalised_name(path_);
            normalised_ready_ = true;
        }
        return normalised_;
    }

private:
    std::wstring path_;
    std::wstring normalised_;
    bool normalised_ready_ = false;
};

// The current process's image path, read once per question and only when a
// current-process form asks for it.
class CurrentImage {
public:
    Image *get() {
        if (!tried_) {
            tried_ = true;
            std::wstring path;
            ok_ = image_of(nullptr, path);
            image_.assign(std::move(path));
        }
        return ok_ ? &image_ : nullptr;
    }

private:
    bool tried_ = false;
    bool ok_ = false;
    Image image_;
};

// The pattern part of a match: the name list, the expression, then the
// current-process forms. A null pattern (empty) matches nothing.
bool pattern_matches(detail::ProcessPattern const *p, Image &image, CurrentImage &current) {
    if (p == nullptr)
        return false;
    if (p->everything)
        return true;
    if (p->regex && p->regex->search(image.path()))
        return true;
    if (p->names_match(image.normalised()))
        return true;
    if (!p->current_form)
        return false;
    Image *own = current.get();
    if (own == nullptr || !pattern_matches(p->own.get(), *own, current))
        return false;
    if (!p->has_target)
        return true;
    return pattern_matches(p->target.get(), image, current);
}

} // namespace

ProcessMatch::ProcessMatch() : session_(0) {}

ProcessMatch::ProcessMatch(char const *pattern)
    : pattern_(pattern != nullptr ? pattern : "*"), session_(0) {
    prepare();
}

ProcessMatch::ProcessMatch(char const *domain, char const *user)
    : domain_(domain != nullptr ? domain : ""), user_(user != nullptr ? user : ""), session_(0) {}

ProcessMatch::ProcessMatch(int session) : session_(session) {}

ProcessMatch::ProcessMatch(ProcessMatch const &other) = default;

ProcessMatch &ProcessMatch::operator=(ProcessMatch const &other) = default;

ProcessMatch::~ProcessMatch() = default;

void ProcessMatch::prepare() {
    prepared_ = detail::ProcessPattern::build(pattern_);
}

void ProcessMatch::set_service(char const *service) {
    service_ = service != nullptr ? service : "";
}

void ProcessMatch::deny_for_all() {
    if (session_ != 0)
        session_ = -1;
}

bool ProcessMatch::match_process(char const *name, void *process) {
    std::wstring path;
    if (name != nullptr)
        path = Utility::utf82w(name);
    else if (!image_of(process, path))
        return false;

    if (!pattern_.empty()) {
        Image image(std::move(path));
        CurrentImage current;
        if (!pattern_matches(prepared_.get(), image, current))
            return false;
        if (service_.empty())
            return true;
        return service_test(process, true);
    }
    if (!service_.empty())
        return service_test(process, false);
    return account_test(process);
}

bool ProcessMatch::service_test(void *process, bool log_failure) const {
    if (process == nullptr)
        return false;
    WinServiceCtrl control(Utility::a2w(service_).c_str());
    unsigned long pid = control.get_pid();
    char const *error = control.error();
    if (pid == 0) {
        if (log_failure)
            ZEM_LOG(4,
                    "get service process id failed for " << service_ << ", with error: " << error);
        return false;
    }
    return pid == GetProcessId(process);
}

bool ProcessMatch::account_test(void *process) const {
    if (process == nullptr || (session_ == 0 && domain_.empty() && user_.empty()))
        return false;
    detail::KernelHandle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put()))
        return false;
    if (session_ != 0) {
        DWORD session = 0;
        DWORD size = 0;
        if (GetTokenInformation(token.get(), TokenSessionId, &session, sizeof session, &size)) {
            if (int(session) == session_ || (session_ == -1 && session != 0))
                return true;
        }
    }
    if (user_.empty())
        return false;
    DWORD size = 0;
    if (GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return false;
    std::vector<unsigned char> buffer(std::size_t(size) + 8);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), DWORD(buffer.size()), &size))
        return false;
    TOKEN_USER const *owner = reinterpret_cast<TOKEN_USER const *>(buffer.data());
    char account[256];
    char domain[256];
    DWORD account_size = sizeof account;
    DWORD domain_size = sizeof domain;
    SID_NAME_USE use;
    if (!LookupAccountSidA(nullptr, owner->User.Sid, account, &account_size, domain, &domain_size,
                           &use))
        return false;
    account[sizeof account - 1] = '\0';
    domain[sizeof domain - 1] = '\0';
    if (!domain_.empty() && _stricmp(domain_.c_str(), domain) != 0)
        return false;
    return _stricmp(user_.c_str(), account) == 0;
}

bool ProcessMatch::serialize_match(Stream &s) const {
    s << pattern_ << service_ << domain_ << user_ << session_;
    return s.good();
}

bool ProcessMatch::load_match(Stream &s) {
    std::string pattern, service, domain, user;
    int session = session_;
    bool whole;
    {
        detail::FieldReader in(s);
        whole = in.text(pattern) && in.text(service) && in.text(domain) && in.text(user) &&
                in.integer(session);
    }
    pattern_.swap(pattern);
    service_.swap(service);
    domain_.swap(domain);
    user_.swap(user);
    session_ = session;
    prepare();
    return whole && s.good();
}

} // namespace vfs
} // namespace zem
