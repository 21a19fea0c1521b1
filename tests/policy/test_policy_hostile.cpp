// Trees read from another process: truncated and mutated frames, announced
// counts far beyond what arrives, deep nesting. Nothing may crash, hang,
// allocate without bound or leak; a failed load gives no object.
#include "policy/FilePolicy.h"
#include "policy/MatchingVisitors.h"
#include "policy/Policy.h"
#include "policy/ProcessPolicy.h"

#include "policy_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <random>
#include <string>

using namespace zem::vfs;
using zem::vfs::policy_test::frame_of;
using zem::vfs::test::MemoryStreamBuf;

namespace {

int live = 0;

// A base policy that counts its instances, registered under its own name,
// so that the tests see every node a load creates and destroys.
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

// A tree with every kind of node, and tracked leaves.
PolicyGroup *sample_tree() {
    PolicyGroup *root = new PolicyGroup("root");
    root->add(new Tracked("t1", "payload one"));
    PolicyGroup *inner = new PolicyGroup("inner");
    inner->add(new FilePolicy("f", "C:\\data\\;_:regex:\\.tmp$", 3, 1, "D:\\r\\"), 1);
    inner->add(new Tracked("t2", "two"));
    inner->add(new ModuleFileFilePolicy("m"));
    root->add(inner);
    root->add(new ProcessPolicy("p", "*explorer.exe:notepad.exe", 0));
    root->add(new HookTypePolicy("h", "_:regex:cmd", "a", "b", "c", nullptr), 2);
    root->add(new Tracked("t3", ""));
    return root;
}

Variable *load_bytes(std::string const &bytes) {
    MemoryStreamBuf buf(bytes);
    Stream s(buf);
    return s.load();
}

// Walks whatever came back with every visitor: a loaded tree must be usable.
void exercise(Variable *v) {
    PolicyGroup *g = dynamic_cast<PolicyGroup *>(v);
    if (g == nullptr)
        return;
    FilePolicyVisitor f("C:\\data\\x.tmp", 1);
    g->apply(f);
    ProcessPolicyVisitor p("C:\\w\\notepad.exe", nullptr, 0);
    g->apply(p);
    HookTypePolicyVisitor h("C:\\w\\cmd.exe", nullptr);
    g->apply(h);
    BasePolicyVisitor b;
    g->apply(b);
}

} // namespace

TEST(HostileTree, EveryTruncationFailsCleanly) {
    PolicyGroup *root = sample_tree();
    std::string const whole = frame_of(*root);
    root->release();
    ASSERT_EQ(live, 0);
    // A cut in the root's own fields leaves at most an empty group (the
    // missing count reads as none); from there up to the head of the last
    // node, a cut loses at least one announced node and fails. Within the
    // last node's own fields an in-memory buffer reports no short read, so
    // only the absence of leaks is asked there.
    std::size_t const body = std::string("v:policy/PolicyGroup:").size() + 8 + 8 + 12;
    std::size_t const last = whole.rfind("v:test/Tracked:");
    ASSERT_NE(last, std::string::npos);
    for (std::size_t n = 0; n < whole.size(); ++n) {
        Variable *v = load_bytes(whole.substr(0, n));
        if (n >= body && n <= last) {
            EXPECT_EQ(v, nullptr) << "cut at " << n;
        } else if (n < body && v != nullptr) {
            EXPECT_EQ(static_cast<PolicyGroup *>(v)->count(), 0u) << "cut at " << n;
        }
        exercise(v);
        Variable::release(v);
        ASSERT_EQ(live, 0) << "cut at " << n;
    }
    Variable *v = load_bytes(whole);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(live, 3);
    EXPECT_EQ(frame_of(*v), whole);
    v->release();
    EXPECT_EQ(live, 0);
}

TEST(HostileTree, HugeChildCountWithNothingBehindIt) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s.write("v:policy/PolicyGroup:");
    s << "g" << 0 << uint64(0x7fffffff);
    Tracked("one", "1").serialize(s);
    auto start = std::chrono::steady_clock::now();
    Variable *v = s.load();
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(live, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(HostileTree, HugeChildCountStuckOnAForeignTag) {
    // The announced children are followed by an integer, which no object
    // load consumes: the load must end instead of asking for ever.
    MemoryStreamBuf buf;
    Stream s(buf);
    s.write("v:policy/PolicyGroup:");
    s << "g" << 0 << uint64(0x7fffffff) << 12345 << "text";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.load(), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(HostileTree, ManyNullFramesAreSkippedAsTheyArrive) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s.write("v:policy/PolicyGroup:");
    s << "g" << 0 << uint64(10001);
    for (int i = 0; i < 10000; ++i)
        s.serialize(nullptr);
    Tracked("last", "").serialize(s);
    Variable *v = s.load();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(static_cast<PolicyGroup *>(v)->count(), 1u);
    v->release();
    EXPECT_EQ(live, 0);
}

TEST(HostileTree, HugeHookTypeCountAddsOnlyWhatArrives) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s.write("v:policy/HookTypePolicy:");
    s << "h" << 0 << "*"
      << ""
      << ""
      << "" << 0 << uint64(0x7fffffff) << "a"
      << "b";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.load(), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // The same list complete loads; texts of the counted form count too.
    MemoryStreamBuf ok;
    Stream t(ok);
    t.write("v:policy/HookTypePolicy:");
    t << "h" << 0 << "*"
      << ""
      << ""
      << "" << 0 << uint64(3) << "a"
      << ""
      << "c";
    Variable *v = t.load();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(static_cast<HookTypePolicy *>(v)->hooktype(), (std::list<std::string>{"a", "", "c"}));
    v->release();
}

TEST(HostileTree, NestingDeeperThanTheStreamAllowsFails) {
    std::string bytes;
    for (int i = 0; i < 200; ++i) {
        MemoryStreamBuf buf;
        Stream s(buf);
        s.write("v:policy/PolicyGroup:");
        s << "g" << 0 << uint64(1);
        bytes += buf.bytes();
    }
    bytes += frame_of(Tracked("leaf", ""));
    MemoryStreamBuf buf(bytes);
    Stream s(buf);
    EXPECT_EQ(s.load(), nullptr);
    EXPECT_FALSE(s.good());
    EXPECT_EQ(live, 0);
}

TEST(HostileTree, ForeignObjectsAmongChildrenAreDropped) {
    // A registered type that is not a policy must not join the tree.
    MemoryStreamBuf buf;
    Stream s(buf);
    s.write("v:policy/PolicyGroup:");
    s << "g" << 0 << uint64(2);
    Foreign().serialize(s);
    Tracked("kept", "").serialize(s);
    Variable *v = s.load();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(static_cast<PolicyGroup *>(v)->count(), 1u);
    v->release();
    EXPECT_EQ(live, 0);
}

TEST(HostileTree, DeterministicMutationFuzz) {
    PolicyGroup *root = sample_tree();
    std::string const whole = frame_of(*root);
    root->release();
    std::mt19937 random(20261206u);
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int runs = 0, loaded = 0;
    for (; runs < 20000 && std::chrono::steady_clock::now() < deadline; ++runs) {
        std::string bytes = whole;
        int edits = 1 + int(random() % 4);
        for (int e = 0; e < edits; ++e) {
            std::size_t at = random() % bytes.size();
            switch (random() % 5) {
            case 0: // flip a byte
                bytes[at] = char(bytes[at] ^ (1 + random() % 255));
                break;
            case 1: // a big count or length in the middle of a field
                bytes[at] = char(0xff);
                if (at + 3 < bytes.size())
                    bytes[at + 3] = char(0x7f);
                break;
            case 2: // drop a range
                bytes.erase(at, random() % 16);
                break;
            case 3: // duplicate a range
                bytes.insert(at, bytes.substr(at, random() % 32));
                break;
            default: // cut
                bytes.resize(at);
                break;
            }
            if (bytes.empty())
                break;
        }
        Variable *v = load_bytes(bytes);
        if (v != nullptr) {
            ++loaded;
            exercise(v);
            frame_of(*v);
            Policy *copy = static_cast<Policy *>(v)->clone();
            copy->release();
            v->release();
        }
        ASSERT_EQ(live, 0) << "run " << runs;
    }
    EXPECT_GT(runs, 1000);
    std::printf("fuzz: %d mutated trees, %d loaded\n", runs, loaded);
}
