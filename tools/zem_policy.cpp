// zem_policy: write, read, check, compare and question policy trees.
//
//   zem_policy compile FILE.xml -o FILE.bin   the serialized tree ("load_policy" reads it)
//   zem_policy print FILE                     the tree as text (either form in)
//   zem_policy check FILE                     errors, and warnings on nodes that never decide
//   zem_policy explain FILE --file PATH [--mode N] [--expect VALUE]
//                           [--process IMAGE] [--hooks IMAGE]
//   zem_policy diff A B                       nodes added, removed and changed
//
// Exit codes: 0 success, 1 errors found (or a decision other than --expect),
// 2 bad usage. Messages go to stderr.
#include <zem/vfs.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace zem::vfs;

namespace {

int const kUsage = 2;

char const kHelp[] =
    "usage: zem_policy COMMAND ... (zem_policy COMMAND --help for one command)\n"
    "  compile FILE.xml -o FILE.bin   write the serialized tree\n"
    "  print FILE                     print a tree (XML or serialized) as XML\n"
    "  check FILE                     report errors and nodes that can never decide\n"
    "  explain FILE --file PATH [--mode N] [--expect VALUE] [--process IMAGE] [--hooks IMAGE]\n"
    "                                 the decisions and the walk that led to them\n"
    "  diff A B                       nodes added, removed and changed between two trees\n"
    "exit codes: 0 success, 1 errors found or a decision differs from --expect, 2 bad usage\n";

char const *const kCommandHelp[][2] = {
    {"compile", "usage: zem_policy compile FILE.xml -o FILE.bin\n"
                "  Parses the text and writes the serialized tree, exactly what the\n"
                "  \"load_policy\" request's \"path\" names.\n"},
    {"print", "usage: zem_policy print FILE\n"
              "  Prints a tree, given as text or serialized bytes, as text.\n"},
    {"check", "usage: zem_policy check FILE\n"
              "  Reports errors (exit 1) and warnings: a node that an earlier node always\n"
              "  decides before it, an empty path list, a redirect without a target, sibling\n"
              "  names given twice.\n"},
    {"explain", "usage: zem_policy explain FILE [--file PATH [--mode N]] [--process IMAGE]\n"
                "                           [--hooks IMAGE] [--expect VALUE]\n"
                "  Asks the library's own visitors (file: mode 1 unless given; process: the\n"
                "  hook value; hooks: the hook types) and prints each node they looked at in\n"
                "  walk order: decided, passed over, not matched (with the failed condition),\n"
                "  or not reached. --expect VALUE (a number, redirect or pass) makes a file\n"
                "  decision other than VALUE exit 1.\n"},
    {"diff", "usage: zem_policy diff A B\n"
             "  Nodes added, removed and changed from tree A to tree B (either form), named\n"
             "  by their path of names.\n"},
};

std::string utf8_of_argument(char const *arg) {
    return Utility::w2utf8(Utility::a2w(arg));
}

struct Tree {
    PolicyGroup *root = nullptr;
    ~Tree() {
        if (root != nullptr)
            root->release();
    }
};

[[nodiscard]] bool load(char const *path, Tree &tree) {
    PolicyText::Error error;
    tree.root = PolicyText::load_file(utf8_of_argument(path).c_str(), &error);
    if (tree.root == nullptr)
        std::fprintf(stderr, "%s: %s\n", path, error.text().c_str());
    return tree.root != nullptr;
}

// Every node with its path of names, in walk order.
class Nodes : public PolicyVisitor {
public:
    struct Node {
        Policy *policy;
        std::string path;
        std::string parent;
    };
    using PolicyVisitor::accept;
    bool accept(PolicyGroup &g) override {
        place(g);
        open_.push_back({g.count(), all.back().path});
        return true;
    }
    bool accept(Policy &p) override {
        place(p);
        return true;
    }
    std::vector<Node> all;

private:
    struct Open {
        zem::vfs::uint64 left;
        std::string path;
    };
    void place(Policy &p) {
        while (!open_.empty() && open_.back().left == 0)
            open_.pop_back();
        std::string parent = open_.empty() ? "" : open_.back().path;
        if (!open_.empty())
            --open_.back().left;
        std::string path = open_.empty() ? "/" : (parent == "/" ? "" : parent) + "/" + p.name();
        all.push_back({&p, path, parent});
    }
    std::vector<Open> open_;
};

std::vector<Nodes::Node> nodes_of(PolicyGroup &root) {
    Nodes nodes;
    root.apply(nodes);
    return nodes.all;
}

// One node's own line of text (its children left out).
std::string node_text(Policy &p) {
    PolicyGroup holder("");
    Policy *copy = p.clone();
    if (PolicyGroup *g = dynamic_cast<PolicyGroup *>(copy)) {
        g->clear(true);
        g->set_merge(p.get_merge());
    }
    holder.add(copy);
    std::string text = PolicyText::print(holder);
    std::size_t begin = text.find("\n  <");
    std::size_t end = text.find('\n', begin + 1);
    if (begin == std::string::npos || end == std::string::npos)
        return text;
    return text.substr(begin + 3, end - begin - 3);
}

int compile(int argc, char **argv) {
    if (argc != 4 || std::strcmp(argv[2], "-o") != 0)
        return std::fprintf(stderr, "%s", kCommandHelp[0][1]), kUsage;
    Tree tree;
    if (!load(argv[1], tree))
        return 1;
    std::string bytes;
    if (!PolicyText::to_bytes(*tree.root, bytes))
        return std::fprintf(stderr, "%s: the tree cannot be serialized\n", argv[1]), 1;
    FILE *out = std::fopen(argv[3], "wb");
    bool ok = out != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    ok = (out != nullptr && std::fclose(out) == 0) && ok;
    if (!ok)
        return std::fprintf(stderr, "%s: cannot write\n", argv[3]), 1;
    return 0;
}

int print(int argc, char **argv) {
    if (argc != 2)
        return std::fprintf(stderr, "%s", kCommandHelp[1][1]), kUsage;
    Tree tree;
    if (!load(argv[1], tree))
        return 1;
    std::fputs(PolicyText::print(*tree.root).c_str(), stdout);
    return 0;
}

// A plain path list: the references it names, or false for any other pattern.
[[nodiscard]] bool path_list(FilePolicy &p, std::vector<std::string> &references) {
    std::string const &pattern = p.file();
    if (p.min_size() != 0 || p.is_module_policy() || pattern.empty() ||
        pattern.compare(0, 2, "_:") == 0 || pattern.compare(0, 2, "$:") == 0)
        return false;
    std::size_t from = 0;
    while (from <= pattern.size()) {
        std::size_t semi = pattern.find(';', from);
        std::string piece =
            pattern.substr(from, semi == std::string::npos ? std::string::npos : semi - from);
        if (!piece.empty())
            references.push_back(piece);
        if (semi == std::string::npos)
            break;
        from = semi + 1;
    }
    return true;
}

int check(int argc, char **argv) {
    if (argc != 2)
        return std::fprintf(stderr, "%s", kCommandHelp[2][1]), kUsage;
    Tree tree;
    if (!load(argv[1], tree))
        return 1;
    int warnings = 0;
    auto warn = [&](std::string const &path, std::string const &text) {
        std::fprintf(stderr, "%s: warning: %s: %s\n", argv[1], path.c_str(), text.c_str());
        ++warnings;
    };
    std::vector<Nodes::Node> nodes = nodes_of(*tree.root);
    std::map<std::string, int> seen; // parent path + "/" + name
    struct Decider {
        std::wstring reference;
        int mode;
        std::string path;
    };
    std::vector<Decider> deciders;
    for (Nodes::Node const &n : nodes) {
        if (n.policy != tree.root && ++seen[n.parent + "\n" + n.policy->name()] == 2)
            warn(n.path, "another node of the same group has this name");
        FilePolicy *f = dynamic_cast<FilePolicy *>(n.policy);
        if (f == nullptr)
            continue;
        if (f->policy() == 1 && *f->redir() == '\0')
            warn(n.path, "a redirect without a path to map to");
        if (f->mode() == 0)
            warn(n.path, "mode 0 shares no bit with any access: the node never matches");
        std::vector<std::string> references;
        if (!path_list(*f, references))
            continue;
        if (references.empty()) {
            warn(n.path, "an empty path list matches nothing");
            continue;
        }
        // Covered when an earlier deciding path list takes every path of every reference.
        bool covered = f->mode() != 0;
        std::string by;
        for (std::string const &r : references) {
            std::wstring const wide = Utility::utf82w(r);
            bool taken = false;
            for (Decider const &d : deciders)
                if ((f->mode() & ~d.mode) == 0 && Utility::file_in_path(d.reference, wide)) {
                    taken = true;
                    by = d.path;
                    break;
                }
            covered = covered && taken;
        }
        if (covered)
            warn(n.path, "never decides: " + by + " comes first and decides every path it names");
        if (f->policy() != 3)
            for (std::string const &r : references)
                deciders.push_back({Utility::utf82w(r), f->mode(), n.path});
    }
    std::fprintf(stderr, "%s: %d warning%s\n", argv[1], warnings, warnings == 1 ? "" : "s");
    return 0;
}

// The steps of a trace beside the nodes of the kind the visitor looks at.
template <class Kind>
void print_walk(std::vector<Nodes::Node> const &nodes, PolicyTrace const &trace) {
    std::size_t step = 0;
    for (Nodes::Node const &n : nodes) {
        if (dynamic_cast<Kind *>(n.policy) == nullptr)
            continue;
        if (step >= trace.steps().size()) {
            std::printf("  %-40s not reached\n", n.path.c_str());
            continue;
        }
        PolicyTrace::Step const &s = trace.steps()[step++];
        std::printf("  %-40s %s%s%s\n", n.path.c_str(), PolicyTrace::outcome_name(s.outcome),
                    s.condition.empty() ? "" : ": ", s.condition.c_str());
    }
}

int explain(int argc, char **argv) {
    char const *file = nullptr, *process = nullptr, *hooks = nullptr, *expect = nullptr;
    int mode = 1;
    for (int i = 2; i < argc; ++i) {
        std::string const option = argv[i];
        if (i + 1 >= argc)
            return std::fprintf(stderr, "%s", kCommandHelp[3][1]), kUsage;
        char const *value = argv[++i];
        if (option == "--file")
            file = value;
        else if (option == "--mode")
            mode = std::atoi(value);
        else if (option == "--process")
            process = value;
        else if (option == "--hooks")
            hooks = value;
        else if (option == "--expect")
            expect = value;
        else
            return std::fprintf(stderr, "%s", kCommandHelp[3][1]), kUsage;
    }
    if (argc < 2 || (file == nullptr && process == nullptr && hooks == nullptr))
        return std::fprintf(stderr, "%s", kCommandHelp[3][1]), kUsage;
    Tree tree;
    if (!load(argv[1], tree))
        return 1;
    std::vector<Nodes::Node> const nodes = nodes_of(*tree.root);
    int status = 0;
    if (file != nullptr) {
        std::string const path = utf8_of_argument(file);
        PolicyTrace trace;
        FilePolicyVisitor visitor(path.c_str(), mode);
        tree.root->apply(visitor);
        std::printf("file %s, mode %d\n", file, mode);
        print_walk<FilePolicy>(nodes, trace);
        std::printf("decision: value %d%s", visitor.policy(),
                    visitor.policy() == 1 ? " (redirect)" : "");
        if (visitor.policy() == 1)
            std::printf(", mapped to %s", visitor.mappedfile());
        std::printf("\n");
        if (expect != nullptr) {
            int wanted = std::strcmp(expect, "redirect") == 0 ? 1
                         : std::strcmp(expect, "pass") == 0   ? 3
                                                              : std::atoi(expect);
            if (wanted != visitor.policy()) {
                std::fprintf(stderr, "decision %d differs from the expected %d\n", visitor.policy(),
                             wanted);
                status = 1;
            }
        }
    }
    if (process != nullptr) {
        std::string const image = utf8_of_argument(process);
        PolicyTrace trace;
        ProcessPolicyVisitor visitor(image.c_str(), nullptr, 0);
        tree.root->apply(visitor);
        std::printf("process %s\n", process);
        print_walk<ProcessPolicy>(nodes, trace);
        std::printf("decision: hook %d%s%s\n", visitor.hook(), *visitor.name() ? " by " : "",
                    visitor.name());
    }
    if (hooks != nullptr) {
        std::string const image = utf8_of_argument(hooks);
        PolicyTrace trace;
        HookTypePolicyVisitor visitor(image.c_str(), nullptr);
        tree.root->apply(visitor);
        std::printf("hook types for %s\n", hooks);
        print_walk<HookTypePolicy>(nodes, trace);
        std::printf("decision: hook types [");
        char const *separator = "";
        for (std::string const &t : *visitor.hooktype()) {
            std::printf("%s%s", separator, t.c_str());
            separator = ", ";
        }
        std::printf("]\n");
    }
    return status;
}

int diff(int argc, char **argv) {
    if (argc != 3)
        return std::fprintf(stderr, "%s", kCommandHelp[4][1]), kUsage;
    Tree a, b;
    if (!load(argv[1], a) || !load(argv[2], b))
        return 1;
    // Nodes keyed by path; a name given twice among siblings gets "#2", "#3", ...
    auto keyed = [](PolicyGroup &root) {
        std::vector<std::pair<std::string, std::string>> out;
        std::map<std::string, int> count;
        for (Nodes::Node const &n : nodes_of(root)) {
            int k = ++count[n.path];
            out.push_back(
                {k == 1 ? n.path : n.path + "#" + std::to_string(k), node_text(*n.policy)});
        }
        return out;
    };
    auto const left = keyed(*a.root), right = keyed(*b.root);
    std::map<std::string, std::string> in_right(right.begin(), right.end());
    std::map<std::string, std::string> in_left(left.begin(), left.end());
    int changes = 0;
    for (auto const &[path, text] : left) {
        auto it = in_right.find(path);
        if (it == in_right.end()) {
            std::printf("- %s  %s\n", path.c_str(), text.c_str());
            ++changes;
        } else if (it->second != text) {
            std::printf("~ %s\n    %s\n    %s\n", path.c_str(), text.c_str(), it->second.c_str());
            ++changes;
        }
    }
    for (auto const &[path, text] : right)
        if (in_left.find(path) == in_left.end()) {
            std::printf("+ %s  %s\n", path.c_str(), text.c_str());
            ++changes;
        }
    std::printf("%d difference%s\n", changes, changes == 1 ? "" : "s");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fprintf(argc < 2 ? stderr : stdout, "%s", kHelp);
        return argc < 2 ? kUsage : 0;
    }
    struct Command {
        char const *name;
        int (*run)(int, char **);
    } const commands[] = {{"compile", compile},
                          {"print", print},
                          {"check", check},
                          {"explain", explain},
                          {"diff", diff}};
    for (std::size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i) {
        if (std::strcmp(argv[1], commands[i].name) != 0)
            continue;
        for (int a = 2; a < argc; ++a)
            if (std::strcmp(argv[a], "--help") == 0)
                return std::printf("%s", kCommandHelp[i][1]), 0;
        return commands[i].run(argc - 1, argv + 1);
    }
    std::fprintf(stderr, "zem_policy: unknown command %s\n%s", argv[1], kHelp);
    return kUsage;
}
