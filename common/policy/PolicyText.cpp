#include "PolicyText.h"

#include "FilePolicy.h"
#include "Policy.h"
#include "PolicyVisitor.h"
#include "ProcessPolicy.h"
#include "../regex/RegexPattern.h"
#include "../serialize/Stream.h"
#include "../serialize/internal/MemoryBuf.h"
#include "../sys/Utility.h"
#include "../sys/internal/Handles.h"
#include "tinyxml/tinyxml.h"

#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace zem {
namespace vfs {

namespace {

// Deepest nesting of groups a text may hold: the depth a serialized tree
// still loads at.
int const kMaxDepth = Stream::max_load_depth - 1;

using detail::MemoryBuf;

void fail(PolicyText::Error *error, TiXmlBase const *where, std::string const &element,
          std::string const &field, std::string const &message) {
    if (error == nullptr)
        return;
    error->line = where != nullptr ? where->Row() : 0;
    error->column = where != nullptr ? where->Column() : 0;
    error->element = element;
    error->field = field;
    error->message = message;
}

// ---- Names of values -------------------------------------------------------

struct Keyword {
    char const *name;
    int value;
};
Keyword const kFileValues[] = {{"redirect", 1}, {"pass", 3}};
Keyword const kHookValues[] = {{"off", 0}, {"on", 1}, {"pass", 2}, {"forbid", 3}};
char const *const kDrives[] = {"remote", "cdrom", "usb", "unc"};

template <std::size_t N> std::string value_name(Keyword const (&names)[N], int value) {
    for (Keyword const &k : names)
        if (k.value == value)
            return k.name;
    return std::to_string(value);
}

// A whole number, decimal or 0x hexadecimal, with an optional leading "-".
[[nodiscard]] bool parse_number(std::string const &text, unsigned long long &magnitude,
                                bool &negative) {
    char const *p = text.c_str();
    negative = *p == '-';
    if (negative)
        ++p;
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (!std::isxdigit(static_cast<unsigned char>(*p)))
        return false;
    errno = 0;
    char *end = nullptr;
    magnitude = std::strtoull(p, &end, base);
    return errno == 0 && *end == '\0';
}

// ---- Reading ---------------------------------------------------------------

// The attributes of one element, checked against what its kind allows.
class Fields {
public:
    Fields(TiXmlElement const &element, PolicyText::Error *error)
        : element_(element), error_(error), kind_(element.Value()) {}

    bool allow(std::initializer_list<char const *> names) {
        for (TiXmlAttribute const *a = element_.FirstAttribute(); a != nullptr; a = a->Next()) {
            bool known = false;
            for (char const *name : names)
                known = known || std::strcmp(a->Name(), name) == 0;
            if (!known)
                return bad(a, a->Name(), "unknown attribute (see docs/policy-format.md)");
        }
        return true;
    }
    bool has(char const *name) const { return element_.Attribute(name) != nullptr; }
    std::string text(char const *name) const {
        char const *value = element_.Attribute(name);
        return value != nullptr ? value : "";
    }
    bool required(char const *name) {
        return has(name) || bad(&element_, name, "required attribute missing");
    }
    bool int32(char const *name, int &out) {
        return keyword_or_int(name, out, static_cast<Keyword const *>(nullptr), 0);
    }
    template <std::size_t N> bool keyword(char const *name, Keyword const (&names)[N], int &out) {
        return keyword_or_int(name, out, names, N);
    }
    bool uint64_(char const *name, uint64 &out) {
        if (!has(name))
            return true;
        unsigned long long value = 0;
        bool negative = false;
        if (!parse_number(text(name), value, negative) || negative)
            return bad(attribute(name), name, "not a number from 0 to 18446744073709551615");
        out = value;
        return true;
    }
    bool bad(TiXmlBase const *where, std::string const &field, std::string const &message) {
        fail(error_, where, kind_, field, message);
        return false;
    }
    TiXmlBase const *attribute(char const *name) const {
        for (TiXmlAttribute const *a = element_.FirstAttribute(); a != nullptr; a = a->Next())
            if (std::strcmp(a->Name(), name) == 0)
                return a;
        return &element_;
    }

private:
    bool keyword_or_int(char const *name, int &out, Keyword const *names, std::size_t count) {
        if (!has(name))
            return true;
        std::string const value = text(name);
        for (std::size_t i = 0; i < count; ++i)
            if (value == names[i].name) {
                out = names[i].value;
                return true;
            }
        unsigned long long magnitude = 0;
        bool negative = false;
        if (!parse_number(value, magnitude, negative) ||
            magnitude > (negative ? 2147483648ull : 2147483647ull)) {
            std::string message = "not a number from -2147483648 to 2147483647";
            for (std::size_t i = 0; i < count; ++i)
                message += std::string(i == 0 ? " or one of " : ", ") + names[i].name;
            return bad(attribute(name), name, message);
        }
        out = negative ? static_cast<int>(-static_cast<long long>(magnitude))
                       : static_cast<int>(magnitude);
        return true;
    }

    TiXmlElement const &element_;
    PolicyText::Error *error_;
    std::string kind_;
};

struct Releaser {
    void operator()(Policy *p) const {
        if (p != nullptr)
            p->release();
    }
};
using Owned = std::unique_ptr<Policy, Releaser>;

// Builds a leaf from the frame its class reads: every field combination the
// wire can carry is reachable, and the node is exactly what a serialized
// tree gives.
template <class Fill> Owned from_frame(char const *type, Fill fill) {
    MemoryBuf out;
    Stream s(out);
    s.write("v:%s:", type);
    fill(s);
    MemoryBuf in(out.text().data(), out.text().size());
    Stream r(in);
    Variable *v = r.load();
    Policy *p = dynamic_cast<Policy *>(v);
    if (p == nullptr || in.consumed() != out.text().size()) {
        if (v != nullptr)
            v->release();
        return nullptr;
    }
    return Owned(p);
}

// The match pattern of a file policy: one of paths, regex (with invert),
// drive, or the raw pattern.
[[nodiscard]] bool file_pattern(Fields &f, std::string &pattern) {
    char const *forms[] = {"paths", "regex", "drive", "pattern"};
    char const *given = nullptr;
    for (char const *form : forms) {
        if (!f.has(form))
            continue;
        if (given != nullptr)
            return f.bad(f.attribute(form), form,
                         std::string("give one of paths, regex, drive and pattern, not also ") +
                             given);
        given = form;
    }
    if (f.has("invert") && (given == nullptr || std::strcmp(given, "regex") != 0))
        return f.bad(f.attribute("invert"), "invert", "only a regex can be inverted");
    if (given == nullptr)
        return true;
    std::string const value = f.text(given);
    if (std::strcmp(given, "paths") == 0) {
        if (value.compare(0, 2, "_:") == 0 || value.compare(0, 2, "$:") == 0)
            return f.bad(f.attribute(given), given,
                         "a path list cannot begin with _: or $: (use pattern)");
        pattern = value;
    } else if (std::strcmp(given, "regex") == 0) {
        std::string const invert = f.text("invert");
        if (f.has("invert") && invert != "yes" && invert != "no")
            return f.bad(f.attribute("invert"), "invert", "yes or no");
        if (value.empty() || (value[0] == '!' && invert != "yes"))
            return f.bad(f.attribute(given), given,
                         value.empty() ? "empty expression" : "a leading ! needs invert=\"yes\"");
        std::wstring const wide = Utility::a2w(value);
        CPatternT<wchar_t> compiled;
        if (!compiled.Compile(wide.c_str(), static_cast<int>(wide.size()), REGEX_IGNORECASE))
            return f.bad(f.attribute(given), given,
                         "the regular expression does not compile (groups nested deeper than " +
                             std::to_string(CPatternT<wchar_t>::kMaxNesting) + ", or too large)");
        pattern = "_:regex:" + std::string(invert == "yes" ? "!" : "") + value;
    } else if (std::strcmp(given, "drive") == 0) {
        bool known = false;
        for (char const *d : kDrives)
            known = known || value == d;
        if (!known)
            return f.bad(f.attribute(given), given, "one of remote, cdrom, usb, unc");
        pattern = "_:disk:" + value;
    } else {
        pattern = value;
    }
    return true;
}

[[nodiscard]] bool process_match(Fields &f, std::string &pattern, std::string &service,
                                 std::string &domain, std::string &user, int &session) {
    pattern = f.text("image");
    service = f.text("service");
    domain = f.text("domain");
    user = f.text("user");
    return f.int32("session", session);
}

Owned read_node(TiXmlElement const &e, int depth, PolicyText::Error *error);

Owned read_group(TiXmlElement const &e, Fields &f, int depth, PolicyText::Error *error) {
    int merge = 0;
    if (!f.allow({"name", "merge"}) || !f.int32("merge", merge))
        return nullptr;
    if (depth >= kMaxDepth) {
        f.bad(&e, "", "groups nested deeper than " + std::to_string(kMaxDepth));
        return nullptr;
    }
    std::unique_ptr<PolicyGroup, Releaser> group(new PolicyGroup(f.text("name").c_str()));
    group->set_merge(merge);
    for (TiXmlNode const *n = e.FirstChild(); n != nullptr; n = n->NextSibling()) {
        if (n->Type() == TiXmlNode::TINYXML_COMMENT)
            continue;
        TiXmlElement const *child = n->ToElement();
        if (child == nullptr) {
            fail(error, n, e.Value(), "", "text inside a group; only elements belong here");
            return nullptr;
        }
        Owned node = read_node(*child, depth + 1, error);
        if (!node)
            return nullptr;
        group->add(node.release());
    }
    return Owned(group.release());
}

Owned read_node(TiXmlElement const &e, int depth, PolicyText::Error *error) {
    Fields f(e, error);
    std::string const kind = e.Value();
    if (kind == "PolicyGroup")
        return read_group(e, f, depth, error);
    int merge = 0;
    if (kind == "BasePolicy") {
        if (!f.allow({"name", "merge", "disp"}) || !f.required("name") || !f.int32("merge", merge))
            return nullptr;
        Owned p(new BasePolicy(f.text("name").c_str(), f.text("disp").c_str()));
        p->set_merge(merge);
        return p;
    }
    if (e.FirstChild() != nullptr && kind != "HookTypePolicy") {
        f.bad(e.FirstChild(), "", "a " + kind + " has no content");
        return nullptr;
    }
    Owned made;
    if (kind == "FilePolicy" || kind == "ModuleFileFilePolicy") {
        int mode = 0, value = 0;
        uint64 min_size = 0;
        std::string pattern;
        if (!f.allow({"name", "merge", "paths", "regex", "invert", "drive", "pattern", "minsize",
                      "mode", "value", "redirect"}) ||
            !f.required("name") || !f.required("mode") || !f.int32("merge", merge) ||
            !f.int32("mode", mode) || !f.keyword("value", kFileValues, value) ||
            !f.uint64_("minsize", min_size) || !file_pattern(f, pattern))
            return nullptr;
        std::string const redirect = f.text("redirect");
        made =
            from_frame(kind == "FilePolicy" ? "policy/FilePolicy" : "policy/ModuleFileFilePolicy",
                       [&](Stream &s) {
                           s << f.text("name") << merge << pattern << min_size << mode << value
                             << redirect;
                       });
    } else if (kind == "ProcessPolicy" || kind == "HookTypePolicy") {
        bool const hooks = kind == "HookTypePolicy";
        int session = 0, hook = 0;
        std::string pattern, service, domain, user;
        if (!(hooks ? f.allow({"name", "merge", "image", "service", "domain", "user", "session"})
                    : f.allow({"name", "merge", "image", "service", "domain", "user", "session",
                               "hook"})) ||
            !f.required("name") || !f.int32("merge", merge) ||
            !process_match(f, pattern, service, domain, user, session) ||
            (!hooks && (!f.required("hook") || !f.keyword("hook", kHookValues, hook))))
            return nullptr;
        std::vector<std::string> types;
        for (TiXmlNode const *n = e.FirstChild(); n != nullptr; n = n->NextSibling()) {
            if (n->Type() == TiXmlNode::TINYXML_COMMENT)
                continue;
            TiXmlElement const *t = n->ToElement();
            if (t == nullptr || std::strcmp(t->Value(), "hooktype") != 0) {
                fail(error, n, kind, "", "only <hooktype name=\"...\"/> elements belong here");
                return nullptr;
            }
            Fields tf(*t, error);
            if (!tf.allow({"name"}) || !tf.required("name"))
                return nullptr;
            types.push_back(tf.text("name"));
        }
        made = from_frame(hooks ? "policy/HookTypePolicy" : "policy/ProcessPolicy", [&](Stream &s) {
            s << f.text("name") << merge << pattern << service << domain << user << session;
            if (hooks) {
                s << static_cast<uint64>(types.size());
                for (std::string const &t : types)
                    s << t;
            } else {
                s << hook;
            }
        });
    } else {
        fail(error, &e, kind, "",
             "unknown element; a tree holds PolicyGroup, BasePolicy, FilePolicy, "
             "ModuleFileFilePolicy, ProcessPolicy and HookTypePolicy");
        return nullptr;
    }
    if (!made)
        fail(error, &e, kind, "", "the node cannot be built (a text holds a NUL?)");
    return made;
}

// How deeply the elements of a text nest, counted before TinyXML (which
// parses nested elements recursively) sees the text. Comments, processing
// instructions, declarations and CDATA are skipped and quoted attribute values
// are stepped over; anything odd counts as deeper, never shallower.
std::size_t nesting_depth(std::string const &xml) {
    std::size_t depth = 0, deepest = 0, i = 0;
    auto skip_past = [&](char const *end) {
        i = xml.find(end, i);
        return i == std::string::npos ? false : (i += std::strlen(end), true);
    };
    while ((i = xml.find('<', i)) != std::string::npos) {
        if (xml.compare(i, 4, "<!--") == 0) {
            if (!skip_past("-->"))
                break;
        } else if (xml.compare(i, 9, "<![CDATA[") == 0) {
            if (!skip_past("]]>"))
                break;
        } else if (xml.compare(i, 2, "<?") == 0) {
            if (!skip_past("?>"))
                break;
        } else if (xml.compare(i, 2, "<!") == 0 || xml.compare(i, 2, "</") == 0) {
            if (xml[i + 1] == '/' && depth > 0)
                --depth;
            if (!skip_past(">"))
                break;
        } else {
            char quote = 0;
            std::size_t j = i + 1;
            for (; j < xml.size() && (quote != 0 || xml[j] != '>'); ++j)
                if (quote != 0 ? xml[j] == quote : (xml[j] == '"' || xml[j] == '\''))
                    quote = quote != 0 ? 0 : xml[j];
            if (j == xml.size())
                break;
            if (xml[j - 1] != '/' && ++depth > deepest)
                deepest = depth;
            i = j + 1;
        }
    }
    return deepest;
}

// ---- Writing ---------------------------------------------------------------

// Every node of a tree with its depth, in walk order.
class Collector : public PolicyVisitor {
public:
    struct Item {
        Policy *node;
        std::size_t depth;
    };
    using PolicyVisitor::accept;
    bool accept(PolicyGroup &g) override {
        place(g);
        open_.push_back(g.count());
        return true;
    }
    bool accept(Policy &p) override {
        place(p);
        return true;
    }
    std::vector<Item> items;

private:
    void place(Policy &p) {
        while (!open_.empty() && open_.back() == 0)
            open_.pop_back();
        if (!open_.empty())
            --open_.back();
        items.push_back({&p, open_.size()});
    }
    std::vector<uint64> open_;
};

void set(TiXmlElement &e, char const *name, std::string const &value) {
    e.SetAttribute(name, value.c_str());
}

void write_file_pattern(TiXmlElement &e, std::string const &pattern) {
    if (pattern.empty())
        return;
    if (pattern.compare(0, 2, "_:") != 0 && pattern.compare(0, 2, "$:") != 0) {
        set(e, "paths", pattern);
        return;
    }
    std::string const regex = "_:regex:";
    if (pattern.compare(0, regex.size(), regex) == 0 && pattern.size() > regex.size()) {
        bool const invert = pattern[regex.size()] == '!';
        std::string const expression = pattern.substr(regex.size() + (invert ? 1 : 0));
        if (!expression.empty() && (invert || expression[0] != '!')) {
            set(e, "regex", expression);
            if (invert)
                set(e, "invert", "yes");
            return;
        }
    }
    for (char const *d : kDrives)
        if (pattern == std::string("_:disk:") + d) {
            set(e, "drive", d);
            return;
        }
    set(e, "pattern", pattern);
}

void write_process_match(TiXmlElement &e, ProcessMatch const &m) {
    if (!m.pattern().empty())
        set(e, "image", m.pattern());
    if (!m.service().empty())
        set(e, "service", m.service());
    if (!m.domain().empty())
        set(e, "domain", m.domain());
    if (!m.user().empty())
        set(e, "user", m.user());
    if (m.session() != 0)
        set(e, "session", std::to_string(m.session()));
}

TiXmlElement element_of(Policy &p) {
    char const *kind = dynamic_cast<PolicyGroup *>(&p)            ? "PolicyGroup"
                       : dynamic_cast<ModuleFileFilePolicy *>(&p) ? "ModuleFileFilePolicy"
                       : dynamic_cast<FilePolicy *>(&p)           ? "FilePolicy"
                       : dynamic_cast<ProcessPolicy *>(&p)        ? "ProcessPolicy"
                       : dynamic_cast<HookTypePolicy *>(&p)       ? "HookTypePolicy"
                                                                  : "BasePolicy";
    TiXmlElement e(kind);
    if (*p.name() != '\0' || dynamic_cast<PolicyGroup *>(&p) == nullptr)
        set(e, "name", p.name());
    if (p.get_merge() != 0)
        set(e, "merge", std::to_string(p.get_merge()));
    if (BasePolicy *b = dynamic_cast<BasePolicy *>(&p)) {
        if (!b->disp().empty())
            set(e, "disp", b->disp());
    } else if (FilePolicy *fp = dynamic_cast<FilePolicy *>(&p)) {
        write_file_pattern(e, fp->file());
        if (fp->min_size() != 0)
            set(e, "minsize", std::to_string(fp->min_size()));
        set(e, "mode", std::to_string(fp->mode()));
        set(e, "value", value_name(kFileValues, fp->policy()));
        if (*fp->redir() != '\0')
            set(e, "redirect", fp->redir());
    } else if (ProcessPolicy *pp = dynamic_cast<ProcessPolicy *>(&p)) {
        write_process_match(e, *pp);
        set(e, "hook", value_name(kHookValues, pp->hook()));
    } else if (HookTypePolicy *hp = dynamic_cast<HookTypePolicy *>(&p)) {
        write_process_match(e, *hp);
        for (std::string const &t : hp->hooktype()) {
            TiXmlElement type("hooktype");
            set(type, "name", t);
            e.InsertEndChild(type);
        }
    }
    return e;
}

} // namespace

std::string PolicyText::Error::text() const {
    std::string out;
    if (line > 0)
        out = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": ";
    if (!element.empty())
        out += element + (field.empty() ? ": " : " ");
    if (!field.empty())
        out += field + ": ";
    return out + message;
}

PolicyGroup *PolicyText::parse(std::string const &xml, Error *error) {
    // The deepest tree holds groups down to kMaxDepth, then a leaf with its
    // hook types: anything deeper is refused before it can exhaust the stack.
    if (nesting_depth(xml) > std::size_t(kMaxDepth) + 2) {
        fail(error, nullptr, "", "",
             "elements nested deeper than " + std::to_string(kMaxDepth + 2));
        return nullptr;
    }
    TiXmlDocument doc;
    doc.Parse(xml.c_str(), nullptr, TIXML_ENCODING_UTF8);
    if (doc.Error()) {
        if (error != nullptr) {
            *error = Error();
            error->line = doc.ErrorRow();
            error->column = doc.ErrorCol();
            error->message = doc.ErrorDesc();
        }
        return nullptr;
    }
    TiXmlElement const *root = doc.RootElement();
    if (root == nullptr || std::strcmp(root->Value(), "PolicyGroup") != 0) {
        fail(error, root, root != nullptr ? root->Value() : "", "",
             "the text must hold one PolicyGroup element, the root of the tree");
        return nullptr;
    }
    for (TiXmlElement const *e = root->NextSiblingElement(); e != nullptr;
         e = e->NextSiblingElement()) {
        fail(error, e, e->Value(), "", "a second root element; wrap the tree in one PolicyGroup");
        return nullptr;
    }
    Owned tree = read_node(*root, 0, error);
    return static_cast<PolicyGroup *>(tree.release());
}

std::string PolicyText::print(PolicyGroup &root) {
    Collector collector;
    root.apply(collector);
    TiXmlDocument doc;
    doc.InsertEndChild(TiXmlDeclaration("1.0", "UTF-8", ""));
    std::vector<TiXmlNode *> open{&doc};
    for (Collector::Item const &item : collector.items) {
        open.resize(item.depth + 1);
        TiXmlNode *added = open.back()->InsertEndChild(element_of(*item.node));
        open.push_back(added);
    }
    TiXmlPrinter printer;
    printer.SetIndent("  ");
    doc.Accept(&printer);
    return printer.Str();
}

bool PolicyText::to_bytes(PolicyGroup &root, std::string &bytes) {
    MemoryBuf out;
    Stream s(out);
    if (!s.serialize(&root) || !s.good())
        return false;
    bytes = out.text();
    return true;
}

PolicyGroup *PolicyText::from_bytes(std::string const &bytes, Error *error) {
    auto refuse = [&](char const *message) -> PolicyGroup * {
        fail(error, nullptr, "", "", message);
        return nullptr;
    };
    if (bytes.size() > max_size)
        return refuse("larger than the largest tree a reader accepts");
    MemoryBuf in(bytes.data(), bytes.size());
    Stream s(in);
    Variable *v = s.load();
    PolicyGroup *group = dynamic_cast<PolicyGroup *>(v);
    if (group == nullptr || !s.good() || in.consumed() != bytes.size()) {
        if (v != nullptr)
            v->release();
        return refuse(group == nullptr ? "not a serialized policy group"
                                       : "not one whole serialized policy tree (cut, or "
                                         "followed by other bytes)");
    }
    return group;
}

PolicyGroup *PolicyText::load_file(char const *path, Error *error) {
    auto refuse = [&](std::string const &message) -> PolicyGroup * {
        fail(error, nullptr, "", "", message);
        return nullptr;
    };
    if (path == nullptr)
        return refuse("no file named");
    detail::FileHandle file(CreateFileW(Utility::utf82w(path).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return refuse("cannot open the file (error " + std::to_string(GetLastError()) + ")");
    std::string bytes;
    LARGE_INTEGER size;
    bool ok = GetFileType(file.get()) == FILE_TYPE_DISK && GetFileSizeEx(file.get(), &size) &&
              static_cast<uint64>(size.QuadPart) <= max_size;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        ok = bytes.empty() ||
             (ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
              read == bytes.size());
    }
    file.reset();
    if (!ok)
        return refuse("not a readable disk file of at most " + std::to_string(max_size) + " bytes");
    std::size_t first = bytes.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && bytes[first] == '<')
        return parse(bytes, error);
    return from_bytes(bytes, error);
}

} // namespace vfs
} // namespace zem
