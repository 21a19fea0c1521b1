#include "internal/PolicyIndex.h"

#include "FilePolicy.h"
#include "MatchingVisitors.h"
#include "PolicyManager.h"
#include "ProcessPolicy.h"
#include "internal/Prepared.h"

#include "../sys/Utility.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <unordered_map>
#include <vector>

namespace zem {
namespace vfs {
namespace detail {

struct GroupAccess {
    static std::vector<Policy *> const &children(PolicyGroup const &g) { return g.children_; }
};

namespace {

std::atomic<std::uint64_t> generation{1};

// The file-decision view of a subtree: its nodes that a file visitor does
// anything with, in walk order, and the literal prefixes of their lists.
struct Index {
    struct Entry {
        Policy *node;         // applied as it is when file is null
        FilePolicy *file;     // a file policy, handed to the visitor's accept
        FileList const *list; // its plain path list, tested here first; or null
    };
    std::uint64_t generation = 0;
    std::vector<Entry> entries;
    // Entries that no prefix rules out, ascending.
    std::vector<std::uint32_t> always;
    // Hash of a folded reference (its trailing "\" left out) -> entries,
    // ascending. A collision only adds a candidate: every candidate is tested.
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> by_prefix;
};

std::uint64_t const hash_seed = 14695981039346656037ull;

std::uint64_t hash_step(std::uint64_t h, wchar_t c) {
    if (c >= L'A' && c <= L'Z')
        c = wchar_t(c + (L'a' - L'A'));
    return (h ^ std::uint64_t(c)) * 1099511628211ull;
}

// Groups whose walk is PolicyGroup's own; a file visitor's accept of the
// group itself does nothing.
bool plain_group(Policy const &p) {
    return typeid(p) == typeid(PolicyGroup) || typeid(p) == typeid(PolicyManager);
}

// Leaves a file visitor accepts without effect.
bool ignored_leaf(Policy const &p) {
    return typeid(p) == typeid(ProcessPolicy) || typeid(p) == typeid(HookTypePolicy) ||
           typeid(p) == typeid(BasePolicy);
}

void add_keys(Index &index, FileList const &list, std::uint32_t at) {
    for (FileList::Reference const &r : list.references) {
        if (!r.ascii) {
            index.always.push_back(at);
            return;
        }
    }
    for (FileList::Reference const &r : list.references) {
        wchar_t const *text = list.text.c_str() + r.at;
        std::size_t n = r.size;
        // A path under a reference "D\" or equal to "D" or "D\" goes on
        // after "D" with a "\" or ends there: the key is "D".
        if (text[n - 1] == L'\\')
            --n;
        std::uint64_t h = hash_seed;
        for (std::size_t i = 0; i < n; ++i)
            h = hash_step(h, text[i]);
        std::vector<std::uint32_t> &nodes = index.by_prefix[h];
        if (nodes.empty() || nodes.back() != at)
            nodes.push_back(at);
    }
}

void collect(PolicyGroup const &group, Index &index) {
    for (Policy *child : GroupAccess::children(group)) {
        if (plain_group(*child)) {
            collect(static_cast<PolicyGroup const &>(*child), index);
            continue;
        }
        if (ignored_leaf(*child))
            continue;
        Index::Entry entry{child, nullptr, nullptr};
        if (typeid(*child) == typeid(FilePolicy) ||
            typeid(*child) == typeid(ModuleFileFilePolicy)) {
            entry.file = static_cast<FilePolicy *>(child);
            if (!entry.file->is_module_policy())
                entry.list = FileMatchAccess::plain_list(*entry.file);
        }
        std::uint32_t const at = std::uint32_t(index.entries.size());
        index.entries.push_back(entry);
        if (entry.list == nullptr)
            index.always.push_back(at);
        else
            add_keys(index, *entry.list, at);
    }
}

struct Table {
    std::mutex lock;
    std::unordered_map<PolicyGroup const *, std::shared_ptr<Index const>> indexes;
};

// Never destroyed: groups may go away during the library's exit handlers.
Table &table() {
    static Table *t = new Table;
    return *t;
}

std::shared_ptr<Index const> index_of(PolicyGroup const &group) {
    std::uint64_t const now = generation.load(std::memory_order_acquire);
    Table &t = table();
    {
        std::lock_guard<std::mutex> hold(t.lock);
        auto it = t.indexes.find(&group);
        if (it != t.indexes.end() && it->second->generation == now)
            return it->second;
    }
    // The tree does not change while it is walked (the walk holds it), so
    // concurrent walks build equal indexes and either one may stay.
    std::shared_ptr<Index> fresh = std::make_shared<Index>();
    fresh->generation = now;
    collect(group, *fresh);
    std::lock_guard<std::mutex> hold(t.lock);
    t.indexes[&group] = fresh;
    return fresh;
}

} // namespace

void policy_tree_changed() {
    generation.fetch_add(1, std::memory_order_acq_rel);
}

void forget_index(PolicyGroup const *group) {
    Table &t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    t.indexes.erase(group);
}

bool apply_indexed(PolicyGroup &group, FilePolicyVisitor &v) {
    std::shared_ptr<Index const> const index = index_of(group);
    // The path as the lists compare it, converted once for every node.
    TestedPath const path(Utility::utf82w(v.file_ != nullptr ? v.file_ : ""));
    std::vector<std::uint32_t> order;
    if (!path.ascii) {
        // The runtime's folding of other units is left to the lists' own
        // test: every entry is a candidate.
        order.resize(index->entries.size());
        for (std::uint32_t i = 0; i < order.size(); ++i)
            order[i] = i;
    } else {
        order = index->always;
        std::size_t const from_lists = order.size();
        std::wstring const &p = path.text;
        std::uint64_t h = hash_seed;
        for (std::size_t i = 0;; ++i) {
            if (i == p.size() || p[i] == L'\\') {
                auto it = index->by_prefix.find(h);
                if (it != index->by_prefix.end())
                    order.insert(order.end(), it->second.begin(), it->second.end());
            }
            if (i == p.size())
                break;
            h = hash_step(h, p[i]);
        }
        if (order.size() != from_lists) {
            std::sort(order.begin(), order.end());
            order.erase(std::unique(order.begin(), order.end()), order.end());
        }
    }
    for (std::uint32_t i : order) {
        Index::Entry const &e = index->entries[i];
        if (e.file == nullptr) {
            if (!e.node->apply(v))
                return false;
        } else {
            if (e.list != nullptr &&
                ((e.file->mode() & v.mode_) == 0 || !list_covers(*e.list, path)))
                continue;
            if (!v.accept(*e.file))
                return false;
        }
        if (v.finished())
            return true;
    }
    return true;
}

} // namespace detail
} // namespace vfs
} // namespace zem
