// The policy text form (PolicyText) and the decision trace (PolicyTrace).
#include <gtest/gtest.h>

#include <zem/vfs.h>

#include "policy_support.h"

#include <memory>
#include <random>
#include <string>

using namespace zem::vfs;

namespace {

struct Release {
    void operator()(Policy *p) const { p->release(); }
};
using Tree = std::unique_ptr<PolicyGroup, Release>;

// A random tree over every node kind and every field, with names that repeat.
class RandomTree {
public:
    explicit RandomTree(unsigned seed) : rng_(seed) {}
    Tree make() {
        Tree root(new PolicyGroup(""));
        fill(*root, 0);
        return root;
    }
    // Drive, up to three parts, each after "\\" or "/", and maybe a final "\\".
    std::string path() {
        std::string p = pick({"C:", "c:", "D:", "\\??\\C:", ""});
        for (int n = any(4); n > 0; --n)
            p += std::string(any(4) ? "\\" : "/") +
                 pick({"src", "SRC", "x.tmp", "\xc3\x84", "", "k"});
        return p + (any(4) ? "" : "\\");
    }

private:
    char const *pick(std::initializer_list<char const *> items) {
        return items.begin()[rng_() % items.size()];
    }
    int any(int n) { return static_cast<int>(rng_() % unsigned(n)); }
    void fill(PolicyGroup &g, int depth) {
        for (int n = any(5); n > 0; --n) {
            Policy *p = node(depth);
            g.add(p, any(4));
        }
    }
    Policy *node(int depth) {
        char const *name = pick({"a", "b", "c", "src", "x y", "<&\">"});
        switch (any(depth < 3 ? 6 : 5)) {
        case 0:
            return new BasePolicy(name, pick({"", "disp", "a;b"}));
        case 1:
        case 2: {
            std::string const list = path() + (any(2) ? "" : ";" + path());
            std::string pattern =
                pick({"C:\\src\\", "c:/keys/;D:\\x.tmp", ";", "", "_:regex:\\.tmp$",
                      "_:regex:!\\.tmp$", "_:disk:usb", "_:!:C:\\src\\", "$:nothere.exe:C:\\src\\",
                      "_:regex:!", "_:disk:unc:s\\", "$:*test_policy.exe:", "_:"});
            if ((!pattern.empty() && pattern.back() == ':') || any(2))
                pattern += list;
            FileMatch match(pattern.c_str(), 1 + any(3));
            if (any(2) == 0)
                return new FilePolicy(name, match, any(4),
                                      pick({"", "D:\\dst\\", "C:\\a\\;E:\\b\\"}));
            return new FilePolicy(name, FileMatch(1000, 1), any(4), "");
        }
        case 3:
            return any(2) == 0 ? new ProcessPolicy(
                                     name, pick({"*", "cmd.exe;b.exe", "_:regex:cmd"}), any(4))
                               : new ProcessPolicy(name, 1 + any(2), any(2));
        case 4: {
            HookTypePolicy *h = new HookTypePolicy(name, pick({"*", "cmd.exe"}), "file", nullptr);
            for (int n = any(3); n > 0; --n)
                h->add_policy(pick({"file", "registry", "file"}));
            return h;
        }
        default: {
            PolicyGroup *g = new PolicyGroup(name);
            fill(*g, depth + 1);
            return g;
        }
        }
    }
    std::mt19937 rng_;
};

std::string bytes_of(PolicyGroup &tree) {
    std::string bytes;
    EXPECT_TRUE(PolicyText::to_bytes(tree, bytes));
    return bytes;
}

TEST(PolicyText, EveryTreeRoundTripsThroughTextAndWholeBytes) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        Tree tree = RandomTree(seed).make();
        std::string const bytes = bytes_of(*tree);
        std::string const text = PolicyText::print(*tree);
        PolicyText::Error error;
        Tree parsed(PolicyText::parse(text, &error));
        ASSERT_TRUE(parsed) << error.text() << "\n" << text;
        EXPECT_EQ(bytes, bytes_of(*parsed));
        EXPECT_EQ(text, PolicyText::print(*parsed));
        Tree loaded(PolicyText::from_bytes(bytes, &error));
        ASSERT_TRUE(loaded) << error.text();
        EXPECT_EQ(text, PolicyText::print(*loaded));
        // Bytes cut short or followed by more are refused.
        EXPECT_EQ(nullptr, PolicyText::from_bytes(bytes.substr(0, bytes.size() - 1), &error));
        EXPECT_EQ(nullptr, PolicyText::from_bytes(bytes + "n:", &error));
    }
}

TEST(PolicyText, BadTextNamesItsPlaceAndField) {
    // clang-format off
    struct Case { char const *xml; int line, column; char const *element, *field, *message; } const cases[] = {
        {"\n  <Policy name=\"a\"/>\n", 2, 3, "Policy", "", "unknown element"},
        {"\n <BasePolicy name=\"a\" colour=\"red\"/>", 2, 23, "BasePolicy", "colour", "unknown attribute"},
        {"<FilePolicy name=\"a\" mode=\"1\" value=\"2147483648\"/>", 1, 44, "FilePolicy", "value", "not a number"},
        {"<FilePolicy name=\"a\" mode=\"x1\"/>", 1, 35, "FilePolicy", "mode", "not a number"},
        {"\n<ProcessPolicy name=\"p\" hook=\"sometimes\"/>", 2, 25, "ProcessPolicy", "hook", "or one of off, on, pass, forbid"},
        {"<ProcessPolicy name=\"p\"/>", 1, 14, "ProcessPolicy", "hook", "required"},
        {"<FilePolicy mode=\"1\"/>", 1, 14, "FilePolicy", "name", "required"},
        {"<FilePolicy name=\"a\" mode=\"1\" minsize=\"-1\"/>", 1, 44, "FilePolicy", "minsize", "not a number"},
        {"<FilePolicy name=\"a\" mode=\"1\" paths=\"C:\\\" regex=\"x\"/>", 1, 56, "FilePolicy", "regex", "give one of"},
        {"<FilePolicy name=\"a\" mode=\"1\" drive=\"floppy\"/>", 1, 44, "FilePolicy", "drive", "one of remote"},
        {"<HookTypePolicy name=\"h\"><hook name=\"x\"/></HookTypePolicy>", 1, 39, "HookTypePolicy", "", "only <hooktype"},
        {"<HookTypePolicy name=\"h\"><hooktype/></HookTypePolicy>", 1, 39, "hooktype", "name", "required"},
        {"=<BasePolicy name=\"a\"/>", 1, 1, "BasePolicy", "", "one PolicyGroup element"},
        {"<BasePolicy name=\"a\">", 1, 35, "", "", "Error"}};
    // clang-format on
    for (Case const &c : cases) {
        // The children of a group, or with "=" a whole text.
        std::string const xml = c.xml[0] == '='
                                    ? std::string(c.xml + 1)
                                    : "<PolicyGroup>" + std::string(c.xml) + "</PolicyGroup>";
        SCOPED_TRACE(xml);
        PolicyText::Error error;
        EXPECT_EQ(nullptr, PolicyText::parse(xml, &error));
        EXPECT_EQ(c.line, error.line);
        EXPECT_EQ(c.column, error.column);
        EXPECT_EQ(c.element, error.element);
        EXPECT_EQ(c.field, error.field);
        EXPECT_NE(std::string::npos, error.message.find(c.message)) << error.message;
    }
    // A regular expression the engine cannot compile, and groups nested past the limit.
    PolicyText::Error error;
    std::string deep(101, '(');
    EXPECT_EQ(nullptr, PolicyText::parse("<PolicyGroup><FilePolicy name=\"a\" mode=\"1\" regex=\"" +
                                             deep + "\"/></PolicyGroup>",
                                         &error));
    EXPECT_EQ("regex", error.field);
    // The deepest groups a reader takes; one level more, and a nesting that
    // would exhaust the parser's stack, are refused.
    for (std::size_t depth : {std::size_t(63), std::size_t(64), std::size_t(200000)}) {
        std::string nested;
        for (std::size_t i = 0; i < 2 * depth; ++i)
            nested += i < depth ? "<PolicyGroup>" : "</PolicyGroup>";
        PolicyText::Error deeper;
        Tree tree(PolicyText::parse(nested, &deeper));
        EXPECT_EQ(depth == 63, bool(tree)) << depth;
        EXPECT_EQ(depth != 63, deeper.message.find("nested deeper") != std::string::npos) << depth;
    }
    // Quoted '<' and '>', comments and siblings do not count as depth.
    std::string wide = "<PolicyGroup><!-- <a><b> -->";
    for (int i = 0; i < 100; ++i)
        wide += "<FilePolicy name=\"x\" mode=\"1\" regex=\"(?<=a)>b\"/>";
    Tree parsed(PolicyText::parse(wide + "</PolicyGroup>", &error));
    EXPECT_TRUE(parsed) << error.text();
}

// A visitor of another class takes the plain walk over every node.
struct PlainWalk : FilePolicyVisitor {
    using FilePolicyVisitor::FilePolicyVisitor;
};

// A file decision that skips what cannot match answers as the plain walk does,
// with the same records, also after the tree changed. The plain walk's trace
// ends at the node whose value the visitor returns.
TEST(PolicyTrace, IndexAndTraceAgreeWithThePlainWalkOnRandomTrees) {
    zem::vfs::policy_test::LogCapture log;
    std::size_t seen = 0;
    auto records = [&] { // the file visitor's records since the last call
        std::string all = log.text(), out;
        for (std::size_t at = all.find("File Policy", seen); at != std::string::npos;
             at = all.find("File Policy", at + 1))
            out += all.substr(at, all.find('\n', at) - at) + "|";
        seen = all.size();
        return out;
    };
    for (unsigned seed = 1; seed <= 40; ++seed) {
        RandomTree random(seed);
        Tree tree = random.make();
        Policy *spare = new FilePolicy("new", "", 3, 2, "");
        for (int q = 0; q < 16; ++q) {
            if (q == 5) { // nodes made before the index joins the groups
                for (char const *name : {"a", "b", "c", "src", "x y", "<&\">"}) {
                    Policy *g = tree->get(name);
                    if (g != nullptr && g->is_group())
                        static_cast<PolicyGroup *>(g)->add(spare->clone());
                }
                tree->add(spare);
            }
            if (q == 10)
                tree->remove("a");
            std::string const path = random.path();
            int const mode = q % 3 + 1;
            SCOPED_TRACE(testing::Message() << seed << " " << path << ":" << mode);
            FilePolicyVisitor indexed(path.empty() ? nullptr : path.c_str(), mode);
            tree->apply(indexed);
            std::string const indexed_records = records();
            PolicyTrace trace;
            PlainWalk plain(path.empty() ? nullptr : path.c_str(), mode);
            tree->apply(plain);
            EXPECT_EQ(indexed.policy(), plain.policy());
            EXPECT_STREQ(indexed.mappedfile(), plain.mappedfile());
            EXPECT_EQ(indexed.finished(), plain.finished());
            EXPECT_EQ(indexed_records, records());
            int decided = 0;
            for (PolicyTrace::Step const &s : trace.steps()) {
                ASSERT_EQ(0, decided) << "a step after the decision";
                decided += s.outcome == PolicyTrace::decided;
                EXPECT_EQ(s.outcome == PolicyTrace::not_matched, !s.condition.empty());
            }
            EXPECT_TRUE(decided == 1 || plain.policy() == 0);
        }
        PolicyTrace trace;
        ProcessPolicyVisitor process("C:\\Windows\\cmd.exe", nullptr, 7);
        tree->apply(process);
        std::string last;
        for (PolicyTrace::Step const &s : trace.steps())
            if (s.outcome == PolicyTrace::decided || s.outcome == PolicyTrace::provisional)
                last = s.node;
        EXPECT_EQ(last, process.name());
    }
    // File, process and hook-type decisions: each node with its outcome.
    auto outcomes = [](PolicyTrace const &t) {
        std::string out;
        for (PolicyTrace::Step const &s : t.steps())
            out += s.node + ":" + PolicyTrace::outcome_name(s.outcome) + " ";
        return out;
    };
    PolicyGroup tree(""), processes(""), hooks("");
    tree.add(new FilePolicy("tmp", "_:regex:\\.tmp$", 3, 3, ""));
    tree.add(new FilePolicy("mode", "C:\\src\\", 2, 2, ""));
    tree.add(new FilePolicy("src", "C:\\src\\", 1, 1, "D:\\dst\\"));
    tree.add(new FilePolicy("after", "", 1, 2, ""));
    PolicyTrace trace;
    FilePolicyVisitor visitor("C:\\src\\a.tmp", 1);
    tree.apply(visitor);
    EXPECT_EQ("tmp:passed over mode:not matched src:decided ", outcomes(trace));
    EXPECT_EQ("access mode (policy 2, asked 1)", trace.steps().at(1).condition);
    EXPECT_EQ(std::string("D:\\dst\\a.tmp"), visitor.mappedfile());
    processes.add(new ProcessPolicy("other", "calc.exe", 1));
    processes.add(new ProcessPolicy("pass", "*", 2));
    processes.add(new ProcessPolicy("maybe", "*", 3), 1);
    processes.add(new ProcessPolicy("on", "*", 1));
    processes.add(new ProcessPolicy("after", "*", 0));
    hooks.add(new HookTypePolicy("other", "calc.exe", "x", nullptr));
    hooks.add(new HookTypePolicy("all", "*", "a", nullptr));
    hooks.add(new HookTypePolicy("odd", "*", "b", nullptr), 3);
    hooks.add(new HookTypePolicy("last", "*", "c", nullptr), 2);
    hooks.add(new HookTypePolicy("after", "*", "d", nullptr));
    PolicyTrace process_trace;
    ProcessPolicyVisitor process("C:\\w\\a.exe", nullptr, 0);
    processes.apply(process);
    EXPECT_EQ("other:not matched pass:passed over maybe:provisional on:decided ",
              outcomes(process_trace));
    PolicyTrace hook_trace;
    HookTypePolicyVisitor hook("C:\\w\\a.exe", nullptr);
    hooks.apply(hook);
    EXPECT_EQ("other:not matched all:collected odd:ignored last:decided ", outcomes(hook_trace));
}

} // namespace
