// The policy tree: children, the walk and its visitors, the manager, the wire
// format of every node kind, and trees read from a hostile peer (cut
// frames, counts far beyond what arrives, deep nesting).
#include "policy/FilePolicy.h"
#include "policy/MatchingVisitors.h"
#include "policy/PolicyManager.h"
#include "policy/ProcessPolicy.h"

#include "policy_support.h"

#include <gtest/gtest.h>

using namespace zem::vfs;
using namespace zem::vfs::policy_test;
using namespace std::string_literals;

namespace {

int live = 0;

// A base policy registered under its own name that counts its live instances.
class Tracked : public BasePolicy {
public:
    Tracked(char const *name, char const *disp) : BasePolicy(name, disp) {
        distinguish("test/Tracked");
        ++live;
    }
    Tracked(Tracked const &other) : BasePolicy(other) { ++live; }
    ~Tracked() override { --live; }
    Policy *clone() const override { return new Tracked(*this); }
    static Tracked __protype;

private:
    explicit Tracked(Protype const &p) : BasePolicy("test/Tracked", p) {}
};
Tracked Tracked::__protype{Protype()};

// A registered object that is not a policy.
class Foreign : public Variable {
public:
    Foreign() : Variable("test/Foreign") {}
    Variable *clone() const override { return new Foreign(*this); }
    static Foreign __protype;

private:
    explicit Foreign(Protype const &) : Variable("test/Foreign") { register_variable(); }
};
Foreign Foreign::__protype{Protype()};

// A policy that never writes itself.
class Unwritable : public BasePolicy {
public:
    Unwritable() : BasePolicy("u", "") {}
    bool serialize(Stream &) const override { return false; }
};

// Records the nodes handed over (and the overload), finishing or refusing at `stop`.
class Recorder : public PolicyVisitor {
public:
    using PolicyVisitor::accept;
    Recorder(std::string stop, bool refuse) : stop_(std::move(stop)), refuse_(refuse) {}
    bool accept(BasePolicy &p) override { return note("B", p); }
    bool accept(HookTypePolicy &p) override { return note("H", p); }
    bool accept(ProcessPolicy &p) override { return note("P", p); }
    bool accept(FilePolicy &p) override { return note("F", p); }
    bool accept(PolicyGroup &p) override { return note("G", p); }
    std::string seen;

private:
    bool note(char const *kind, Policy &p) {
        seen += std::string(seen.empty() ? "" : " ") + kind + p.name();
        if (p.name() == stop_ && !refuse_)
            finish();
        return p.name() != stop_ || !refuse_;
    }
    std::string stop_;
    bool refuse_;
};

// Relies on the defaults: every overload falls back to accept(Policy&).
class Defaults : public PolicyVisitor {
public:
    using PolicyVisitor::accept;
    bool accept(Policy &) override { return ++count, true; }
    int count = 0;
};

std::string walk(PolicyGroup &g, std::string const &stop = "<none>", bool refuse = false,
                 bool *result = nullptr) {
    Recorder r(stop, refuse);
    bool ok = g.apply(r);
    if (result != nullptr)
        *result = ok;
    return r.seen;
}

// Every node kind, merge modes set, tracked leaves.
PolicyGroup *every_kind() {
    PolicyGroup *root = new PolicyGroup("root");
    root->set_merge(-3);
    root->add(new Tracked("t1", "payload"));
    PolicyGroup *inner = new PolicyGroup("inner");
    inner->add(new FilePolicy("f", "C:\\data\\;_:regex:\\.tmp$", 3, 1, "D:\\r\\"), 1);
    inner->add(new ModuleFileFilePolicy("m"));
    inner->add(new PolicyGroup("empty"));
    root->add(inner, 5);
    root->add(new ProcessPolicy("p", "*explorer.exe:notepad.exe", 3));
    root->add(new HookTypePolicy("h", "_:regex:cmd", "a", "b", "a", nullptr), 2);
    root->add(new Tracked("t2", "last"));
    return root;
}

std::string group_head(char const *name, int merge, long long count) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s.write("v:policy/PolicyGroup:");
    s << name << merge;
    if (count < 0)
        s << int(count);
    else
        s << uint64(count);
    return buf.bytes();
}

} // namespace

TEST(PolicyTree, ChildrenOwnershipAndOrder) {
    PolicyGroup g("g");
    g.add(new Tracked("a", "1"));
    g.add(new Tracked("dup", "first"));
    g.add(new Tracked("dup", "second"), 7);
    g.add(new Tracked("z", ""));
    EXPECT_EQ(g.count(), 4u);
    EXPECT_EQ(g.get("dup")->get_merge(), 0);
    EXPECT_EQ(g.get("DUP"), nullptr);
    g.remove("dup"); // only the first of two
    g.remove("none");
    EXPECT_EQ(walk(g), "Gg Ba Bdup Bz");
    EXPECT_EQ(g.get("dup")->get_merge(), 7);
    EXPECT_EQ(live, 3);

    PolicyGroup other("other");
    g.copy_children(&other); // deep copies, appended
    g.copy_children(&other);
    EXPECT_EQ(walk(other), "Gother Ba Bdup Bz Ba Bdup Bz");
    EXPECT_EQ(live, 9);
    g.set_merge(2);
    Policy *copy = g.clone();
    EXPECT_EQ(copy->get_merge(), 0);
    EXPECT_EQ(walk(*static_cast<PolicyGroup *>(copy)), "Gg Ba Bdup Bz");
    copy->release();

    other.swap(&g); // children change places, names stay
    EXPECT_EQ(walk(g), "Gg Ba Bdup Bz Ba Bdup Bz");
    EXPECT_EQ(walk(other), "Gother Ba Bdup Bz");
    Policy *kept[] = {other.get("a"), other.get("dup"), other.get("z")};
    other.clear(false); // the caller owns them now
    EXPECT_EQ(other.count(), 0u);
    EXPECT_EQ(live, 9);
    for (Policy *p : kept)
        p->release();
    g.clear(true);
    EXPECT_EQ(live, 0);
}

TEST(PolicyTree, WalkAndStructuralVisitors) {
    PolicyGroup *root = every_kind();
    PolicyGroup *inner = static_cast<PolicyGroup *>(root->get("inner"));
    std::string const all = "Groot Bt1 Ginner Ff Fm Gempty Pp Hh Bt2";
    // clang-format off
    struct Case { char const *stop; bool refuse, result; std::string seen; } const cases[] = {{"<none>", false, true, all},
        {"f", false, true, "Groot Bt1 Ginner Ff"}, {"inner", false, true, "Groot Bt1 Ginner"}, // a finished group hands over no child
        {"inner", true, false, "Groot Bt1 Ginner"}, {"p", true, false, "Groot Bt1 Ginner Ff Fm Gempty Pp"}};
    // clang-format on
    for (Case const &c : cases) {
        bool result = !c.result;
        EXPECT_EQ(walk(*root, c.stop, c.refuse, &result), c.seen);
        EXPECT_EQ(result, c.result) << c.seen;
    }
    Recorder done("t1", false);
    root->apply(done);
    root->apply(done); // a finished visitor stops at the first node again
    EXPECT_EQ(done.seen, "Groot Bt1 Groot");
    Defaults d;
    EXPECT_TRUE(root->apply(d));
    EXPECT_EQ(d.count, 9);
    BasePolicyVisitor base;
    EXPECT_TRUE(root->apply(base));
    EXPECT_EQ(base.get_disp(), "last");
    EXPECT_FALSE(base.finished());

    std::string const slashes(10000, '/'), long_path = slashes + "inner" + slashes + "m";
    // clang-format off
    std::pair<char const *, Policy *> const paths[] = {{"", root}, {nullptr, root}, {"/", root}, {"t1", root->get("t1")},
        {"inner/f", inner->get("f")}, {"/inner//m", inner->get("m")}, {"inner/", inner}, {"inner/empty/", inner->get("empty")},
        {long_path.c_str(), inner->get("m")}, {"t1/x", nullptr}, {"t1/", nullptr}, {"q", nullptr}, {"q/f", nullptr},
        {"inner/q/f", nullptr}, {"Inner/f", nullptr}, {"f", nullptr}};
    // clang-format on
    for (auto const &c : paths) {
        PolicyPathVisitor v(c.first);
        EXPECT_TRUE(root->apply(v));
        EXPECT_TRUE(v.finished());
        EXPECT_EQ(v.get(), c.second) << (c.first ? std::string(c.first).substr(0, 20) : "<null>");
    }
    root->release();
}

// Each kind's frame byte for byte; a load and a copy write the same bytes.
TEST(PolicyWire, EveryKindByteForByte) {
    PolicyGroup group("root");
    group.add(new BasePolicy("b", "x"));
    FilePolicy file("n", "C:\\s\\", 3, 1, "D:\\t\\");
    ProcessPolicy process("n", "a.exe", 3), account("a", "dom", "usr", 1);
    HookTypePolicy hook("h", "b.exe", "a", "b", nullptr);
    hook.add_policy("a");
    FilePolicy sized("s", FileMatch(uint64(0x0102030405), 6), -2, nullptr);
    ModuleFileFilePolicy module("mod");
    file.set_merge(2), process.set_merge(1), hook.set_merge(2), account.set_service("svc");
    // clang-format off
    struct Case { Policy const *policy; std::string bytes; /* empty: not pinned */ } const cases[] = {
        {&group, "v:policy/PolicyGroup:s::root\0i:4:\0\0\0\0I:8:\x01\0\0\0\0\0\0\0v:policy/BasePolicy:s::b\0i:4:\0\0\0\0s::x\0"s},
        {&file, "v:policy/FilePolicy:s::n\0i:4:\x02\0\0\0s::C:\\s\\\0I:8:\0\0\0\0\0\0\0\0i:4:\x03\0\0\0i:4:\x01\0\0\0s::D:\\t\\\0"s},
        {&process, "v:policy/ProcessPolicy:s::n\0i:4:\x01\0\0\0s::a.exe\0s::\0s::\0s::\0i:4:\0\0\0\0i:4:\x03\0\0\0"s},
        {&hook, "v:policy/HookTypePolicy:s::h\0i:4:\x02\0\0\0s::b.exe\0s::\0s::\0s::\0i:4:\0\0\0\0I:8:\x03\0\0\0\0\0\0\0s::a\0s::b\0s::a\0"s},
        {&account, ""}, {&sized, ""}, {&module, ""}};
    // clang-format on
    for (Case const &c : cases) {
        std::string const whole = frame_of(*c.policy);
        EXPECT_TRUE(c.bytes.empty() || hex(whole) == hex(c.bytes)) << hex(whole);
        for (Policy *copy : {round_trip(*c.policy), c.policy->clone()}) {
            ASSERT_NE(copy, nullptr);
            EXPECT_EQ(hex(frame_of(*copy)), hex(whole));
            auto *f = dynamic_cast<FilePolicy *>(copy); // ready to match, a module test kept
            EXPECT_TRUE(f == nullptr || (f->is_module_policy() == (c.policy == &module) &&
                                         (c.policy != &file || f->match_file("C:\\s\\x", 1))));
            copy->release();
        }
    }
    EXPECT_EQ(hex(frame_of(PolicyGroup("e"))), hex(group_head("e", 0, 0)));
}

TEST(PolicyWire, AFailingStream) {
    MemoryStreamBuf failing, fine;
    failing.set_fail_writes(true);
    Stream s(failing), t(fine);
    EXPECT_FALSE(PolicyGroup("g").serialize(s));
    PolicyGroup g("g"); // a child that cannot be written fails its group
    g.add(new Unwritable());
    g.add(new Tracked("t", ""));
    EXPECT_FALSE(g.serialize(t));
}

TEST(PolicyWire, ChildrenAsTheyArrive) {
    std::string const one = frame_of(Tracked("one", "1"));
    std::string const null_frame = "n:", unknown = "v:policy/NoSuchThing:";
    std::string nulls;
    for (int i = 0; i < 5000; ++i)
        nulls += null_frame;
    std::string deep;
    for (int i = 0; i < 200; ++i)
        deep += group_head("g", 0, 1);
    // clang-format off
    struct Case { char const *what; std::string bytes; long long count; /* -1: no object */ } const cases[] = {
        {"null, unknown and foreign skipped", group_head("g", 0, 5) + one + null_frame + unknown + frame_of(Foreign()) + one, 2},
        {"zero or less reads none", group_head("g", 0, -5) + one, 0}, {"nulls as they arrive", group_head("g", 0, 5001) + nulls + one, 1},
        {"huge count, one child", group_head("g", 0, 0x7fffffff) + one, -1},
        {"huge count, a foreign tag", group_head("g", 0, 0x7fffffff) + "i:4:\0\0\0\0", -1},
        {"a child that breaks", group_head("g", 0, 1) + "v:test/Tracked:i:4:", -1}, {"deeper than the stream allows", deep + one, -1}};
    // clang-format on
    for (Case const &c : cases) {
        SCOPED_TRACE(c.what);
        Variable *v = load_from(c.bytes);
        EXPECT_EQ(v == nullptr ? -1 : (long long)static_cast<PolicyGroup *>(v)->count(), c.count);
        Variable::release(v);
        EXPECT_EQ(live, 0);
    }
    PolicyGroup dst("dst"); // a load appends
    dst.add(new Tracked("old", ""));
    MemoryStreamBuf buf(group_head("src", 0, 1).substr(21) + one);
    Stream s(buf);
    EXPECT_TRUE(dst.load(s));
    EXPECT_EQ(walk(dst), "Gsrc Bold Bone");
}

// Every cut of a tree file fails to load: a cut in a count, in a leaf's last
// field or right after a frame head must not load defaults.
TEST(PolicyWire, EveryCut) {
    PolicyGroup small("grp"); // a group with a base and a file policy
    small.add(new BasePolicy("base", "policy"));
    small.add(new FilePolicy("file1", "C:\\src\\", 1, 1, "D:\\dst\\"));
    PolicyGroup *kinds = every_kind();
    std::string const files[] = {frame_of(small), frame_of(*kinds),
                                 frame_of(HookTypePolicy("h", "*", "a", nullptr)),
                                 frame_of(ProcessPolicy("p", 1, 0))};
    kinds->release();
    EXPECT_EQ(files[0].size(), 181u);
    for (std::string const &whole : files) {
        for (std::size_t n = 0; n < whole.size(); ++n) {
            Variable *v = load_from(whole.substr(0, n));
            EXPECT_EQ(v, nullptr) << "cut at " << n << " of " << whole.size();
            Variable::release(v);
            ASSERT_EQ(live, 0);
        }
    }
}

TEST(PolicyVisitors, FileProcessAndHookTypeDecisions) {
    LogCapture log;
    // clang-format off
    struct FileCase { int first, second, policy; char const *mapped; } const files[] = {{3, 2, 2, ""}, {1, 2, 1, "D:\\one\\x"},
        {3, 3, 0, ""}, {0, 1, 0, ""}, {2, 1, 2, ""}, {3, 1, 1, "D:\\two\\x"}};
    // clang-format on
    for (FileCase const &c : files) {
        SCOPED_TRACE(c.first * 10 + c.second);
        PolicyGroup g("g");
        g.add(new FilePolicy("other", "C:\\else\\", 1, 5, ""));
        g.add(new FilePolicy("first", "C:\\data\\", 1, c.first, "D:\\one\\"), 1);
        g.add(new FilePolicy("second", "C:\\data\\", 1, c.second, "D:\\two\\"));
        FilePolicyVisitor v("C:\\data\\x", 1);
        EXPECT_TRUE(g.apply(v));
        EXPECT_EQ(v.policy(), c.policy);
        EXPECT_STREQ(v.mappedfile(), c.mapped);
    }
    EXPECT_EQ(log.count("File Policy Visitor Matched 3 at first for C:\\data\\x:1"), 3);

    // clang-format off
    struct ProcessCase { int merge1, hook1, merge2, hook2, hook; char const *name; } const processes[] = {{1, 0, 1, 1, 1, "second"},
        {0, 3, 0, 1, 3, "first"}, {1, 4, 0, 2, 4, "first"}, {0, 2, 2, 0, 0, "second"}, {1, 2, 1, 2, 5, ""}};
    // clang-format on
    for (ProcessCase const &c : processes) {
        SCOPED_TRACE(c.hook1 * 10 + c.hook2);
        PolicyGroup g("g");
        g.add(new ProcessPolicy("other", "calc.exe", 1));
        g.add(new ProcessPolicy("first", "a.exe", c.hook1), c.merge1);
        g.add(new ProcessPolicy("second", "*", c.hook2), c.merge2);
        ProcessPolicyVisitor v("C:\\w\\a.exe", nullptr, 5);
        EXPECT_TRUE(g.apply(v));
        EXPECT_EQ(v.hook(), c.hook);
        EXPECT_STREQ(v.name(), c.name);
    }
    for (char const *line : {"Matched (ON) at second for C:\\w\\a.exe", "Matched (FORBID) at first",
                             "Matched (OFF) at first"})
        EXPECT_GE(log.count(std::string("Process Policy Visitor ") + line), 1) << line;

    // clang-format off
    struct HookCase { int modes[4]; char const *list; } const hooks[] = {{{0, 0, 2, 0}, "c"}, {{0, 1, 0, 0}, "a b"},
        {{0, 0, 0, 0}, "a b c d"}, {{2, 0, 1, 2}, "a"}, {{3, -1, 0, 0}, "c d"}};
    // clang-format on
    for (HookCase const &c : hooks) {
        SCOPED_TRACE(c.list);
        PolicyGroup g("g");
        char const *names[] = {"a", "b", "c", "d"};
        for (int i = 0; i < 4; ++i) {
            g.add(new HookTypePolicy("h", "calc.exe", "never", nullptr), c.modes[i] == 2 ? 2 : 0);
            g.add(new HookTypePolicy("h", "a.exe", names[i], nullptr), c.modes[i]);
        }
        HookTypePolicyVisitor v("C:\\w\\a.exe", nullptr);
        EXPECT_TRUE(g.apply(v));
        std::string got;
        for (std::string const &t : *v.hooktype())
            got += (got.empty() ? "" : " ") + t;
        EXPECT_EQ(got, c.list);
    }
}

TEST(PolicyManagerTest, OneInstanceSwappedUnderItsLock) {
    PolicyManager *m = PolicyManager::instance();
    EXPECT_EQ(m->count(), 0u);
    ProcessPolicyVisitor empty(nullptr, nullptr, 6);
    m->apply(empty);
    EXPECT_EQ(empty.hook(), 6);

    PolicyGroup next("next"); // a tree built aside and swapped in under the lock
    next.add(new FilePolicy("f", "C:\\d\\", 1, 1, "E:\\"));
    next.add(new BasePolicy("b", ""));
    m->lock_write();
    m->add(new BasePolicy("old", ""));
    m->swap(&next);
    m->unlock_write();
    EXPECT_EQ(walk(next), "Gnext Bold");
    FilePolicyVisitor f("C:\\d\\x", 1);
    m->lock_read();
    m->apply(f);
    m->unlock_read();
    EXPECT_STREQ(f.mappedfile(), "E:\\x");
    EXPECT_EQ(walk(*m), "G Ff Bb");
    PolicyGroup *back = round_trip<PolicyGroup>(*m); // an ordinary unnamed group
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(dynamic_cast<PolicyManager *>(back), nullptr);
    EXPECT_EQ(walk(*back), "G Ff Bb");
    back->release();
    m->lock_write();
    m->clear(true);
    m->unlock_write();
}
