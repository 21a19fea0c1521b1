// The matching visitors (file, process, hook type) with their combination
// rules and log records, and the process-wide manager.
#include "policy/FilePolicy.h"
#include "policy/MatchingVisitors.h"
#include "policy/PolicyManager.h"
#include "policy/ProcessPolicy.h"

#include "policy_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace zem::vfs;
using zem::vfs::policy_test::LogCapture;

namespace {

typedef std::list<std::string> Names;

PolicyGroup *file_tree(int first, int second) {
    PolicyGroup *root = new PolicyGroup("root");
    root->add(new FilePolicy("first", "C:\\data\\", 1, first, "D:\\one\\"));
    root->add(new FilePolicy("second", "C:\\data\\", 1, second, "D:\\two\\"));
    return root;
}

} // namespace

// ---------------------------------------------------------------------------
// FilePolicyVisitor
// ---------------------------------------------------------------------------

TEST(FileVisitor, PassedOverNodesLetTheNextDecide) {
    PolicyGroup *root = file_tree(3, 2);
    FilePolicyVisitor v("C:\\data\\f.txt", 1);
    EXPECT_TRUE(root->apply(v));
    EXPECT_EQ(v.policy(), 2);
    EXPECT_STREQ(v.mappedfile(), "");
    EXPECT_TRUE(v.finished());
    root->release();
}

TEST(FileVisitor, FirstDecisiveRedirectMapsThePath) {
    PolicyGroup *root = file_tree(1, 2);
    FilePolicyVisitor v("\\??\\C:\\data\\sub\\f.txt", 1);
    root->apply(v);
    EXPECT_EQ(v.policy(), 1);
    EXPECT_STREQ(v.mappedfile(), "\\??\\D:\\one\\sub\\f.txt");
    root->release();
}

TEST(FileVisitor, NothingDecidesAndMergeModesAreIgnored) {
    PolicyGroup *root = file_tree(3, 3);
    root->get("first")->set_merge(1);
    FilePolicyVisitor passed("C:\\data\\f", 1);
    root->apply(passed);
    EXPECT_EQ(passed.policy(), 0);
    EXPECT_FALSE(passed.finished());
    FilePolicyVisitor elsewhere("C:\\other\\f", 1);
    root->apply(elsewhere);
    EXPECT_EQ(elsewhere.policy(), 0);
    FilePolicyVisitor wrong_mode("C:\\data\\f", 2);
    root->apply(wrong_mode);
    EXPECT_EQ(wrong_mode.policy(), 0);
    root->release();

    PolicyGroup other("o");
    other.add(new FilePolicy("a", "", 1, 5, ""), 1); // merge 1 still decides
    other.add(new FilePolicy("b", "", 1, 6, ""));
    FilePolicyVisitor v("x", 1);
    other.apply(v);
    EXPECT_EQ(v.policy(), 5);
}

TEST(FileVisitor, InNestedGroupsAndWithANullPath) {
    PolicyGroup root("root");
    PolicyGroup *inner = new PolicyGroup("inner");
    inner->add(new FilePolicy("deep", "_:regex:\\.log$", 1, 4, ""));
    root.add(inner);
    root.add(new FilePolicy("all", "", 1, 9, ""));
    FilePolicyVisitor log_file("C:\\x\\a.LOG", 1);
    root.apply(log_file);
    EXPECT_EQ(log_file.policy(), 4);
    FilePolicyVisitor null_file(nullptr, 1);
    root.apply(null_file);
    EXPECT_EQ(null_file.policy(), 9);
}

TEST(FileVisitor, LogsEveryMatchAtDebugLevel) {
    PolicyGroup *root = file_tree(3, 1);
    LogCapture log;
    FilePolicyVisitor v("C:\\data\\f.txt", 1);
    root->apply(v);
    EXPECT_EQ(log.count("File Policy Visitor Matched 3 at first for C:\\data\\f.txt:1"), 1);
    EXPECT_EQ(log.count("File Policy Visitor Matched 1 at second for C:\\data\\f.txt:1"), 1);
    FilePolicyVisitor n(nullptr, 1);
    PolicyGroup all("all");
    all.add(new FilePolicy("any", "", 1, 7, ""));
    all.apply(n);
    EXPECT_EQ(log.count("File Policy Visitor Matched 7 at any for <null>:1"), 1);
    root->release();
}

// ---------------------------------------------------------------------------
// ProcessPolicyVisitor
// ---------------------------------------------------------------------------

TEST(ProcessVisitor, NothingMatchesKeepsTheGivenHook) {
    PolicyGroup root("root");
    root.add(new ProcessPolicy("p", "notepad.exe", 1));
    ProcessPolicyVisitor v("C:\\x\\calc.exe", nullptr, 5);
    root.apply(v);
    EXPECT_EQ(v.hook(), 5);
    EXPECT_STREQ(v.name(), "");
    EXPECT_FALSE(v.finished());
}

TEST(ProcessVisitor, ProvisionalMatchesAreReplacedByLaterOnes) {
    PolicyGroup root("root");
    root.add(new ProcessPolicy("off", "a.exe", 0), 1);
    root.add(new ProcessPolicy("on", "a.exe", 1), 1);
    ProcessPolicyVisitor v("C:\\a.exe", nullptr, 9);
    root.apply(v);
    EXPECT_EQ(v.hook(), 1);
    EXPECT_STREQ(v.name(), "on");
    EXPECT_FALSE(v.finished());
}

TEST(ProcessVisitor, FirstFinalMatchDecides) {
    PolicyGroup root("root");
    root.add(new ProcessPolicy("forbid", "a.exe", 3));
    root.add(new ProcessPolicy("on", "a.exe", 1));
    ProcessPolicyVisitor v("C:\\a.exe", nullptr, 9);
    root.apply(v);
    EXPECT_EQ(v.hook(), 3);
    EXPECT_STREQ(v.name(), "forbid");
    EXPECT_TRUE(v.finished());
    // Provisional, then final, then never reached.
    PolicyGroup mixed("m");
    mixed.add(new ProcessPolicy("p1", "*", 1), 1);
    mixed.add(new ProcessPolicy("p2", "*", 0), 4);
    mixed.add(new ProcessPolicy("p3", "*", 3));
    ProcessPolicyVisitor w("C:\\b.exe", nullptr, 9);
    mixed.apply(w);
    EXPECT_EQ(w.hook(), 0);
    EXPECT_STREQ(w.name(), "p2");
}

TEST(ProcessVisitor, HookTwoIsPassedOverButLogged) {
    PolicyGroup root("root");
    root.add(new ProcessPolicy("skip", "a.exe", 2));
    root.add(new ProcessPolicy("odd", "b.exe", 7));
    LogCapture log;
    ProcessPolicyVisitor v("C:\\a.exe", nullptr, 4);
    root.apply(v);
    EXPECT_EQ(v.hook(), 4);
    EXPECT_STREQ(v.name(), "");
    EXPECT_EQ(log.count("Process Policy Visitor Matched (OFF) at skip for C:\\a.exe"), 1);
    ProcessPolicyVisitor w("C:\\b.exe", nullptr, 4);
    root.apply(w);
    EXPECT_EQ(w.hook(), 7); // unknown values are reported
    EXPECT_EQ(log.count("Process Policy Visitor Matched (OFF) at odd for C:\\b.exe"), 1);
}

TEST(ProcessVisitor, LogNamesOfHookValues) {
    PolicyGroup root("root");
    root.add(new ProcessPolicy("on", "*", 1), 1);
    root.add(new ProcessPolicy("forbid", "*", 3), 1);
    root.add(new ProcessPolicy("off", "*", 0), 1);
    LogCapture log;
    ProcessPolicyVisitor v(nullptr, nullptr, 4); // this process
    root.apply(v);
    EXPECT_EQ(v.hook(), 0);
    EXPECT_EQ(log.count("Process Policy Visitor Matched (ON) at on for <null>"), 1);
    EXPECT_EQ(log.count("Process Policy Visitor Matched (FORBID) at forbid for <null>"), 1);
    EXPECT_EQ(log.count("Process Policy Visitor Matched (OFF) at off for <null>"), 1);
}

TEST(ProcessVisitor, ByHandleOfThisProcess) {
    PolicyGroup root("root");
    root.add(new ProcessPolicy("me", "test_policy.exe", 1));
    ProcessPolicyVisitor v(nullptr, GetCurrentProcess(), 0);
    root.apply(v);
    EXPECT_EQ(v.hook(), 1);
    EXPECT_STREQ(v.name(), "me");
}

// ---------------------------------------------------------------------------
// HookTypePolicyVisitor
// ---------------------------------------------------------------------------

namespace {

Names collect(std::vector<std::pair<int, char const *>> const &nodes, char const *target) {
    PolicyGroup root("root");
    int i = 0;
    for (auto const &n : nodes) {
        std::string name = "h" + std::to_string(i++);
        root.add(new HookTypePolicy(name.c_str(), "*", n.second, nullptr), n.first);
    }
    HookTypePolicyVisitor v(target, nullptr);
    root.apply(v);
    return *v.hooktype();
}

} // namespace

TEST(HookTypeVisitor, MergeModesAccumulateStopAndReplace) {
    EXPECT_EQ(collect({{0, "a"}, {0, "b"}, {2, "c"}, {0, "d"}}, "C:\\x.exe"), (Names{"c"}));
    EXPECT_EQ(collect({{0, "a"}, {1, "b"}, {0, "d"}}, "C:\\x.exe"), (Names{"a", "b"}));
    EXPECT_EQ(collect({{0, "a"}, {7, "z"}, {0, "a"}}, "C:\\x.exe"), (Names{"a", "a"}));
    EXPECT_EQ(collect({}, "C:\\x.exe"), Names{});
}

TEST(HookTypeVisitor, OnlyMatchingNodesCount) {
    PolicyGroup root("root");
    root.add(new HookTypePolicy("n", "notepad.exe", "np1", "np2", nullptr));
    root.add(new HookTypePolicy("c", "calc.exe", "calc", nullptr), 2);
    root.add(new HookTypePolicy("all", "*", "common", nullptr));
    HookTypePolicyVisitor v("C:\\w\\notepad.exe", nullptr);
    root.apply(v);
    EXPECT_EQ(*v.hooktype(), (Names{"np1", "np2", "common"}));
    EXPECT_FALSE(v.finished());
    HookTypePolicyVisitor w("C:\\w\\calc.exe", nullptr);
    root.apply(w);
    EXPECT_EQ(*w.hooktype(), (Names{"calc"}));
    EXPECT_TRUE(w.finished());
}

// ---------------------------------------------------------------------------
// PolicyManager
// ---------------------------------------------------------------------------

TEST(Manager, OneInstanceEvenWhenManyThreadsAskFirst) {
    std::vector<std::thread> threads;
    std::vector<PolicyManager *> seen(8, nullptr);
    std::atomic<bool> go(false);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            seen[i] = PolicyManager::instance();
        });
    }
    go = true;
    for (std::thread &t : threads)
        t.join();
    for (PolicyManager *m : seen)
        EXPECT_EQ(m, PolicyManager::instance());
    PolicyManager *m = PolicyManager::instance();
    EXPECT_TRUE(m->is_group());
    EXPECT_STREQ(m->name(), "");
    EXPECT_STREQ(m->distinguish(), "policy/PolicyGroup");
}

TEST(Manager, EmptyWalkSwapAndSerializeAsAGroup) {
    PolicyManager *m = PolicyManager::instance();
    m->lock_write();
    m->clear(true);
    m->unlock_write();
    EXPECT_EQ(m->count(), 0u);

    m->lock_read();
    ProcessPolicyVisitor empty(nullptr, nullptr, 6);
    m->apply(empty);
    m->unlock_read();
    EXPECT_EQ(empty.hook(), 6);

    PolicyGroup fresh("fresh");
    fresh.add(new ProcessPolicy("p1", "*", 1));
    fresh.add(new ProcessPolicy("p2", "*", 0));
    fresh.add(new FilePolicy("f", "C:\\d\\", 1, 1, "E:\\r\\"));
    m->lock_write();
    m->add(new BasePolicy("old", "x"));
    m->swap(&fresh);
    m->unlock_write();
    EXPECT_EQ(m->count(), 3u);
    EXPECT_EQ(fresh.count(), 1u);
    EXPECT_NE(fresh.get("old"), nullptr);

    m->lock_read();
    ProcessPolicyVisitor v(nullptr, nullptr, 6);
    m->apply(v);
    FilePolicyVisitor f("C:\\d\\x", 1);
    m->apply(f);
    m->unlock_read();
    EXPECT_EQ(v.hook(), 1);
    EXPECT_STREQ(f.mappedfile(), "E:\\r\\x");

    // Written out it is an ordinary unnamed group.
    PolicyGroup *back = policy_test::round_trip<PolicyGroup>(*m);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->count(), 3u);
    EXPECT_STREQ(back->name(), "");
    EXPECT_EQ(dynamic_cast<PolicyManager *>(back), nullptr);
    back->release();
    Policy *copy = m->clone();
    EXPECT_EQ(dynamic_cast<PolicyManager *>(copy), nullptr);
    copy->release();
    m->release(); // does nothing: the manager lives on
    EXPECT_EQ(PolicyManager::instance()->count(), 3u);

    m->lock_write();
    m->clear(true);
    m->unlock_write();
}

TEST(Manager, ReadersWalkWhileAWriterSwapsTrees) {
    PolicyManager *m = PolicyManager::instance();
    std::atomic<bool> stop(false);
    std::atomic<int> bad(0);
    std::atomic<long> walks(0);
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                m->lock_read();
                FilePolicyVisitor f("C:\\d\\x", 1);
                m->apply(f);
                ProcessPolicyVisitor p("C:\\w\\a.exe", nullptr, 0);
                m->apply(p);
                m->unlock_read();
                // Every tree has both answers or neither.
                if ((f.policy() == 1) != (p.hook() == 1))
                    ++bad;
                ++walks;
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        PolicyGroup next("next");
        if (i % 2 == 0) {
            next.add(new FilePolicy("f", "C:\\d\\", 1, 1, "E:\\"));
            next.add(new ProcessPolicy("p", "_:regex:a\\.exe$", 1));
        }
        m->lock_write();
        m->swap(&next);
        m->unlock_write();
        next.clear(true); // the old tree, outside the lock
    }
    stop = true;
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(walks.load(), 0);
    m->lock_write();
    m->clear(true);
    m->unlock_write();
}
