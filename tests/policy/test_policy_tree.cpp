// The policy tree: ownership and order of children, the walk, clones, the
// wire format of groups and base policies, and the structural visitors.
#include "policy/FilePolicy.h"
#include "policy/Policy.h"
#include "policy/PolicyVisitor.h"
#include "policy/ProcessPolicy.h"

#include "policy_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zem::vfs;
using zem::vfs::policy_test::frame_of;
using zem::vfs::policy_test::load_from;
using zem::vfs::policy_test::round_trip;
using zem::vfs::test::hex;
using zem::vfs::test::MemoryStreamBuf;

namespace {

// Counts the live instances of a policy class of the tests.
int live = 0;

class Counted : public BasePolicy {
public:
    explicit Counted(char const *name) : BasePolicy(name, "") { ++live; }
    Counted(Counted const &other) : BasePolicy(other) { ++live; }
    ~Counted() override { --live; }
    Policy *clone() const override { return new Counted(*this); }
};

// Records the names of the nodes in the order the walk hands them over and
// finishes at a chosen name.
class Recorder : public PolicyVisitor {
public:
    explicit Recorder(std::string stop = "", bool refuse = false)
        : stop_(std::move(stop)), refuse_(refuse) {}
    using PolicyVisitor::accept;
    bool accept(Policy &p) override {
        seen.push_back(p.name());
        if (seen.back() == stop_) {
            if (refuse_)
                return false;
            finish();
        }
        return true;
    }
    std::vector<std::string> seen;

private:
    std::string stop_;
    bool refuse_;
};

// A group root holding A, B (holding X, Y), E.
PolicyGroup *sample_tree() {
    PolicyGroup *root = new PolicyGroup("root");
    root->add(new BasePolicy("A", "a"));
    PolicyGroup *b = new PolicyGroup("B");
    b->add(new BasePolicy("X", "x"));
    b->add(new BasePolicy("Y", "y"));
    root->add(b);
    root->add(new BasePolicy("E", "e"));
    return root;
}

std::vector<std::string> names_of(PolicyGroup &g) {
    Recorder r;
    g.apply(r);
    return r.seen;
}

} // namespace

// ---------------------------------------------------------------------------
// Children
// ---------------------------------------------------------------------------

TEST(PolicyGroupChildren, AddGetRemoveKeepOrderAndOwnership) {
    live = 0;
    {
        PolicyGroup g("g");
        EXPECT_TRUE(g.is_group());
        EXPECT_STREQ(g.distinguish(), "policy/PolicyGroup");
        g.add(new Counted("a"));
        Counted *second = new Counted("dup");
        g.add(second);
        g.add(new Counted("dup"));
        g.add(new Counted("z"));
        g.add(nullptr); // never a null child
        EXPECT_EQ(g.count(), 4u);
        EXPECT_EQ(g.get("dup"), second);
        EXPECT_EQ(g.get("DUP"), nullptr); // exact bytes
        EXPECT_EQ(g.get("missing"), nullptr);
        EXPECT_EQ(g.get(nullptr), nullptr);

        g.remove("dup"); // only the first
        EXPECT_EQ(live, 3);
        EXPECT_EQ(g.count(), 3u);
        ASSERT_NE(g.get("dup"), nullptr);
        EXPECT_NE(g.get("dup"), second);
        EXPECT_EQ(names_of(g), (std::vector<std::string>{"g", "a", "dup", "z"}));
        g.remove("missing");
        g.remove(nullptr);
        EXPECT_EQ(g.count(), 3u);
    }
    EXPECT_EQ(live, 0); // the group destroyed what it owned
}

TEST(PolicyGroupChildren, AddWithMergeSetsTheModeFirst) {
    PolicyGroup g("g");
    BasePolicy *p = new BasePolicy("p", "d");
    EXPECT_EQ(p->get_merge(), 0);
    g.add(p, 1);
    EXPECT_EQ(p->get_merge(), 1);
    EXPECT_EQ(g.get("p"), p);
}

TEST(PolicyGroupChildren, ClearWithAndWithoutDestroying) {
    live = 0;
    PolicyGroup g("g");
    Counted *kept = new Counted("kept");
    g.add(kept);
    g.clear(false);
    EXPECT_EQ(g.count(), 0u);
    EXPECT_EQ(live, 1);
    g.add(kept);
    g.add(new Counted("other"));
    g.clear(true);
    EXPECT_EQ(g.count(), 0u);
    EXPECT_EQ(live, 0);
}

TEST(PolicyGroupChildren, SwapExchangesOnlyTheChildren) {
    PolicyGroup a("a"), b("b");
    a.set_merge(4);
    a.add(new BasePolicy("a1", ""));
    b.add(new BasePolicy("b1", ""));
    b.add(new BasePolicy("b2", ""));
    a.swap(&b);
    EXPECT_STREQ(a.name(), "a");
    EXPECT_EQ(a.get_merge(), 4);
    EXPECT_EQ(b.get_merge(), 0);
    EXPECT_EQ(names_of(a), (std::vector<std::string>{"a", "b1", "b2"}));
    EXPECT_EQ(names_of(b), (std::vector<std::string>{"b", "a1"}));
    a.swap(nullptr);
    EXPECT_EQ(a.count(), 2u);
}

TEST(PolicyGroupChildren, CopyChildrenAppendsIndependentCopies) {
    live = 0;
    {
        PolicyGroup src("src"), dst("dst");
        src.add(new Counted("c1"));
        src.add(new Counted("c2"));
        dst.add(new Counted("d1"));
        src.copy_children(&dst);
        EXPECT_EQ(live, 5);
        EXPECT_EQ(names_of(dst), (std::vector<std::string>{"dst", "d1", "c1", "c2"}));
        EXPECT_NE(dst.get("c1"), src.get("c1"));
        src.clear(true); // the copies live on
        EXPECT_EQ(names_of(dst), (std::vector<std::string>{"dst", "d1", "c1", "c2"}));
        // Into itself: the group doubles once.
        dst.copy_children(&dst);
        EXPECT_EQ(dst.count(), 6u);
        src.copy_children(nullptr);
    }
    EXPECT_EQ(live, 0);
}

TEST(PolicyGroupClone, DeepCopyWithMergeModeZero) {
    PolicyGroup *root = sample_tree();
    root->set_merge(2);
    root->get("A")->set_merge(7);
    Policy *copy = root->clone();
    ASSERT_NE(copy, nullptr);
    PolicyGroup *group = dynamic_cast<PolicyGroup *>(copy);
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->get_merge(), 0);
    EXPECT_STREQ(group->name(), "root");
    EXPECT_EQ(group->get("A")->get_merge(), 7); // children keep theirs
    EXPECT_NE(group->get("A"), root->get("A"));
    root->release();
    EXPECT_EQ(names_of(*group), (std::vector<std::string>{"root", "A", "B", "X", "Y", "E"}));
    copy->release();
}

TEST(BasePolicyClone, CopiesEveryField) {
    BasePolicy p("n", "payload");
    p.set_merge(3);
    Policy *c = p.clone();
    BasePolicy *b = dynamic_cast<BasePolicy *>(c);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->name(), "n");
    EXPECT_EQ(b->get_merge(), 3);
    EXPECT_EQ(b->disp(), "payload");
    EXPECT_STREQ(b->distinguish(), "policy/BasePolicy");
    c->release();
    BasePolicy nulls(nullptr, nullptr);
    EXPECT_STREQ(nulls.name(), "");
    EXPECT_EQ(nulls.disp(), "");
}

// ---------------------------------------------------------------------------
// Walk
// ---------------------------------------------------------------------------

TEST(PolicyWalk, DepthFirstPreOrderInChildOrder) {
    PolicyGroup *root = sample_tree();
    Recorder all;
    EXPECT_TRUE(root->apply(all));
    EXPECT_EQ(all.seen, (std::vector<std::string>{"root", "A", "B", "X", "Y", "E"}));
    EXPECT_FALSE(all.finished());
    root->release();
}

TEST(PolicyWalk, FinishingEndsTheWholeWalk) {
    PolicyGroup *root = sample_tree();
    Recorder r("X");
    EXPECT_TRUE(root->apply(r));
    EXPECT_EQ(r.seen, (std::vector<std::string>{"root", "A", "B", "X"}));
    EXPECT_TRUE(r.finished());
    // A finished visitor stops at the first node of another walk.
    EXPECT_TRUE(root->apply(r));
    EXPECT_EQ(r.seen.size(), 5u);
    root->release();
}

TEST(PolicyWalk, RefusingAcceptAbortsWithFalse) {
    PolicyGroup *root = sample_tree();
    Recorder r("B", true);
    EXPECT_FALSE(root->apply(r));
    EXPECT_EQ(r.seen, (std::vector<std::string>{"root", "A", "B"}));
    EXPECT_FALSE(r.finished());
    root->release();
}

namespace {

// Counts the overloads the walk calls.
class OverloadCounter : public PolicyVisitor {
public:
    using PolicyVisitor::accept;
    bool accept(BasePolicy &) override { return ++base, true; }
    bool accept(HookTypePolicy &) override { return ++hook, true; }
    bool accept(ProcessPolicy &) override { return ++process, true; }
    bool accept(FilePolicy &) override { return ++file, true; }
    bool accept(PolicyGroup &) override { return ++group, true; }
    int base = 0, hook = 0, process = 0, file = 0, group = 0;
};

// Relies only on the defaults.
class Defaults : public PolicyVisitor {
public:
    using PolicyVisitor::accept;
    bool accept(Policy &) override { return ++policies, true; }
    int policies = 0;
};

} // namespace

TEST(PolicyWalk, EachClassCallsItsOwnOverloadAndDefaultsFallBack) {
    PolicyGroup root("root");
    PolicyGroup *inner = new PolicyGroup("inner");
    inner->add(new FilePolicy("f", "C:\\x\\", 1, 1, "D:\\y\\"));
    inner->add(new ModuleFileFilePolicy("m"));
    root.add(inner);
    root.add(new ProcessPolicy("p", "a.exe", 1));
    root.add(new HookTypePolicy("h", "*", "t", nullptr));
    root.add(new BasePolicy("b", "d"));
    OverloadCounter c;
    EXPECT_TRUE(root.apply(c));
    EXPECT_EQ(c.group, 2);
    EXPECT_EQ(c.file, 2);
    EXPECT_EQ(c.process, 1);
    EXPECT_EQ(c.hook, 1);
    EXPECT_EQ(c.base, 1);
    Defaults d;
    EXPECT_TRUE(root.apply(d));
    EXPECT_EQ(d.policies, 7);
}

// ---------------------------------------------------------------------------
// Wire format
// ---------------------------------------------------------------------------

TEST(PolicyWire, GroupWithOneBasePolicyByteForByte) {
    PolicyGroup root("root");
    root.add(new BasePolicy("b", "x"));
    std::string expected = std::string("v:policy/PolicyGroup:") + "s::root" + std::string(1, '\0') +
                           "i:4:" + std::string(4, '\0') + "I:8:" + std::string("\x01", 1) +
                           std::string(7, '\0') + "v:policy/BasePolicy:" + "s::b" +
                           std::string(1, '\0') + "i:4:" + std::string(4, '\0') + "s::x" +
                           std::string(1, '\0');
    EXPECT_EQ(hex(frame_of(root)), hex(expected));
}

TEST(PolicyWire, GroupRoundTripKeepsOrderTypesAndFields) {
    PolicyGroup root("root");
    root.set_merge(-3);
    PolicyGroup *inner = new PolicyGroup("inner");
    inner->add(new BasePolicy("deep", "d"), 2);
    root.add(new BasePolicy("first", "1"));
    root.add(inner, 5);
    root.add(new FilePolicy("file", "C:\\a\\", 3, 1, "D:\\b\\"));
    root.add(new ModuleFileFilePolicy("module"));
    root.add(new ProcessPolicy("proc", "x.exe", 3));
    root.add(new HookTypePolicy("hook", "*", "a", "b", nullptr));
    root.add(new PolicyGroup("empty"));

    PolicyGroup *back = round_trip(root);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->name(), "root");
    EXPECT_EQ(back->get_merge(), -3);
    EXPECT_EQ(names_of(*back), (std::vector<std::string>{"root", "first", "inner", "deep", "file",
                                                         "module", "proc", "hook", "empty"}));
    EXPECT_EQ(back->get("inner")->get_merge(), 5);
    EXPECT_STREQ(back->get("module")->distinguish(), "policy/ModuleFileFilePolicy");
    EXPECT_STREQ(back->get("hook")->distinguish(), "policy/HookTypePolicy");
    EXPECT_EQ(static_cast<PolicyGroup *>(back->get("empty"))->count(), 0u);
    EXPECT_EQ(frame_of(*back), frame_of(root)); // nothing lost
    back->release();
}

TEST(PolicyWire, EmptyGroupWritesCountZero) {
    PolicyGroup g("e");
    std::string bytes = frame_of(g);
    EXPECT_NE(bytes.find(std::string("I:8:") + std::string(8, '\0')), std::string::npos);
    PolicyGroup *back = round_trip(g);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->count(), 0u);
    back->release();
}

TEST(PolicyWire, LoadSkipsNullFramesAndUnknownTypes) {
    // A hand-written group of four announced children: a base policy, a null
    // frame, a frame of an unregistered type without body, another policy.
    MemoryStreamBuf buf;
    Stream s(buf);
    s.write("v:policy/PolicyGroup:");
    s << "g" << 0 << uint64(4);
    BasePolicy("one", "1").serialize(s);
    s.serialize(nullptr);
    s.write("v:policy/NoSuchThing:");
    BasePolicy("two", "2").serialize(s);
    Variable *v = s.load();
    ASSERT_NE(v, nullptr);
    PolicyGroup *g = dynamic_cast<PolicyGroup *>(v);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(names_of(*g), (std::vector<std::string>{"g", "one", "two"}));
    v->release();
}

TEST(PolicyWire, LoadAppendsToExistingChildren) {
    PolicyGroup src("src");
    src.add(new BasePolicy("new", ""));
    std::string bytes = frame_of(src);
    PolicyGroup dst("dst");
    dst.add(new BasePolicy("old", ""));
    MemoryStreamBuf buf(bytes.substr(std::string("v:policy/PolicyGroup:").size()));
    Stream s(buf);
    EXPECT_TRUE(dst.load(s));
    EXPECT_STREQ(dst.name(), "src");
    EXPECT_EQ(names_of(dst), (std::vector<std::string>{"src", "old", "new"}));
}

TEST(PolicyWire, NegativeOrZeroCountReadsNoChildren) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s.write("v:policy/PolicyGroup:");
    s << "g" << 0 << -5;
    BasePolicy("never", "").serialize(s);
    Variable *v = s.load();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(static_cast<PolicyGroup *>(v)->count(), 0u);
    v->release();
}

TEST(PolicyWire, RegisteredTypeNames) {
    for (char const *name :
         {"policy/PolicyGroup", "policy/BasePolicy", "policy/FilePolicy",
          "policy/ModuleFileFilePolicy", "policy/ProcessPolicy", "policy/HookTypePolicy"}) {
        Variable *v = Variable::new_variable(name);
        ASSERT_NE(v, nullptr) << name;
        EXPECT_STREQ(v->distinguish(), name);
        EXPECT_NE(dynamic_cast<Policy *>(v), nullptr) << name;
        v->release();
    }
}

TEST(PolicyWire, SerializeReportsAFailingStream) {
    PolicyGroup root("root");
    root.add(new BasePolicy("b", "x"));
    MemoryStreamBuf buf;
    buf.set_fail_writes(true);
    Stream s(buf);
    EXPECT_FALSE(root.serialize(s));
}

// ---------------------------------------------------------------------------
// Structural visitors
// ---------------------------------------------------------------------------

TEST(BasePolicyVisitorTest, HoldsTheLastPayloadInWalkOrder) {
    PolicyGroup *root = sample_tree(); // payloads a, x, y, e
    BasePolicyVisitor v;
    EXPECT_EQ(v.get_disp(), "");
    EXPECT_TRUE(root->apply(v));
    EXPECT_EQ(v.get_disp(), "e");
    EXPECT_FALSE(v.finished());
    root->release();
    PolicyGroup none("none");
    BasePolicyVisitor empty;
    none.apply(empty);
    EXPECT_EQ(empty.get_disp(), "");
}

TEST(PolicyPathVisitorTest, ResolvesPaths) {
    PolicyGroup *root = sample_tree();
    PolicyGroup *b = static_cast<PolicyGroup *>(root->get("B"));
    PolicyGroup *deeper = new PolicyGroup("C");
    deeper->add(new BasePolicy("leaf", ""));
    b->add(deeper);

    auto find = [&](char const *path) {
        PolicyPathVisitor v(path);
        EXPECT_TRUE(root->apply(v));
        EXPECT_TRUE(v.finished()) << (path ? path : "<null>");
        return v.get();
    };
    EXPECT_EQ(find(""), root);
    EXPECT_EQ(find(nullptr), root);
    EXPECT_EQ(find("/"), root);
    EXPECT_EQ(find("A"), root->get("A"));
    EXPECT_EQ(find("B/X"), b->get("X"));
    EXPECT_EQ(find("/B//X"), b->get("X"));
    EXPECT_EQ(find("B/"), b);
    EXPECT_EQ(find("B/C/leaf"), deeper->get("leaf"));
    EXPECT_EQ(find("B/C/"), deeper);
    EXPECT_EQ(find("A/X"), nullptr);   // A is not a group
    EXPECT_EQ(find("A/"), nullptr);    // neither is A/
    EXPECT_EQ(find("Q"), nullptr);     // no such child
    EXPECT_EQ(find("Q/X"), nullptr);   // no such group
    EXPECT_EQ(find("B/Q/X"), nullptr); // missing in the middle
    EXPECT_EQ(find("b/x"), nullptr);   // names are case-sensitive
    EXPECT_EQ(find("X"), nullptr);     // only direct children
    std::string slashes(100000, '/');  // many empty components
    EXPECT_EQ(find((slashes + "B" + slashes + "X").c_str()), b->get("X"));
    root->release();
}
