// The main demonstration of zem.vfs.common, end to end:
//   1. a few values and a blob on a Stream over a file, as hex and read back;
//   2. the helper dispatcher started through "DispPath" and reached over its
//      named pipe: a log record, a policy tree loaded from a file, properties
//      set and queried, a service question, and an unserved request;
//   3. the same policy tree asked, in this process, how file accesses and
//      process images are treated.
#include <zem/vfs.h>

#include <windows.h>

#include <cstdio>
#include <string>

using namespace zem::vfs;

namespace {

std::string temp_path(char const *prefix) {
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, prefix, 0, path);
    return path;
}

HANDLE open_file(std::string const &path, bool write) {
    return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ, nullptr,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void print_hex(unsigned char const *bytes, uint64 n) {
    for (uint64 i = 0; i < n; ++i)
        std::printf("%s%02X%s", i % 16 == 0 ? "  " : "", bytes[i],
                    (i + 1) % 16 == 0 || i + 1 == n ? "\n" : " ");
}

// -- 1 ---------------------------------------------------------------------

bool stream_demo() {
    std::printf("== 1. Values on a Stream over a file\n");
    std::string path = temp_path("zem");
    unsigned char blob[5] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    {
        HandleStream out(open_file(path, true));
        out << 7 << "ab" << true << wchar_t(0x78) << ErrorCode(5);
        out.serialize(nullptr);
        out << Binary(blob, sizeof blob) << Stream::tag_finish;
        if (!out.good()) {
            std::printf("write failed: error %d\n", out.error());
            return false;
        }
    }
    HandleStream in(open_file(path, false));
    unsigned char bytes[256];
    uint64 n = in.get(bytes, sizeof bytes);
    std::printf("%llu bytes on the wire:\n", (unsigned long long)n);
    print_hex(bytes, n);
    SetFilePointer(in.handle(), 0, nullptr, FILE_BEGIN);

    int i = 0;
    std::string text;
    bool flag = false;
    wchar_t wc = 0;
    ErrorCode code;
    Variable *none = nullptr;
    in >> i >> text >> flag >> wc >> code >> none;
    Variable::release(in.load()); // "B" is not registered: this consumes v:B:
    Binary back(nullptr, 0);
    bool loaded = back.load(in);
    std::printf("read back: int %d, text \"%s\", bool %s, wchar 0x%04X, error %d, object %s, "
                "blob of %llu bytes\n",
                i, text.c_str(), flag ? "true" : "false", unsigned(wc), int(code.code),
                none ? "present" : "null", (unsigned long long)back.size());
    in.close();
    DeleteFileA(path.c_str());
    return loaded && i == 7 && text == "ab";
}

// -- 2 ---------------------------------------------------------------------

// The tree both the helper and this process load, as an operator writes it
// (docs/policy-format.md).
char const kPolicyText[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<PolicyGroup name="demo">
  <FilePolicy name="documents" paths="C:\Users\demo\Documents\" mode="3" value="redirect"
              redirect="C:\Users\demo\Documents\;C:\Sandbox\Documents\"/>
  <FilePolicy name="temp-files" regex="\.tmp$" mode="3" value="2"/>
  <FilePolicy name="windows" paths="C:\Windows\" mode="3" value="0"/>
  <ProcessPolicy name="shells" image="cmd.exe;powershell.exe" hook="on"/>
  <ProcessPolicy name="editors" image="_:regex:\\(notepad|wordpad)\.exe$" hook="off"/>
  <HookTypePolicy name="shell-hooks" image="cmd.exe;powershell.exe">
    <hooktype name="file"/>
    <hooktype name="registry"/>
  </HookTypePolicy>
</PolicyGroup>
)";

void report(char const *what, Request &request, Response *response) {
    std::printf("  %-34s id %-3d -> %s", what, request.id(),
                response ? (response->error() == 0   ? "error 0"
                            : response->error() == 3 ? "error 3 (no handler)"
                            : response->error() == 4 ? "error 4 (values follow)"
                                                     : "error ?")
                         : "no response");
}

bool dispatcher_demo(std::string const &tree_file) {
    std::printf("\n== 2. Requests to the helper dispatcher\n");
    // "DispPath": the folder of zem.vfs.dispatcher_wow64.exe, this program's own.
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string folder(self);
    folder.resize(folder.find_last_of("\\/") + 1);
    {
        ProcessConfig config(0, "", true);
        config.set_string("DispPath", folder.c_str());
    }
    std::printf("DispPath = %s\n", folder.c_str());

    Pipe pipe;
    if (!ResuestHandlerManager::get_helper_pipe(pipe, true)) {
        std::printf("could not reach or start the helper dispatcher\n");
        return false;
    }
    std::printf("connected to the helper dispatcher\n");
    HandleStream s(pipe.detach());

    LogRequest log("hello from the demonstration", 4);
    Response *r = log.send(s);
    report("print_log \"hello from ...\"", log, r);
    std::printf("\n");
    Variable::release(r);

    PolicyRequest load(tree_file.c_str());
    r = load.send(s);
    report("load_policy <tree file>", load, r);
    std::printf("\n");
    Variable::release(r);

    PropertyRequest set;
    set.add("colour", "blue");
    set.add("size", "42");
    r = set.send(s);
    report("property_request +colour +size", set, r);
    std::printf("\n");
    Variable::release(r);

    PropertyRequest query;
    query.query("colour");
    r = query.send(s);
    report("property_request ?colour", query, r);
    std::printf(", colour = %s\n", query.get("colour") ? query.get("colour") : "(none)");
    Variable::release(r);

    ServiceRequest service("RpcSs");
    r = service.send(s);
    report("query_service RpcSs", service, r);
    std::printf(", process id %d\n", service.service_id());
    Variable::release(r);

    Request unserved("run_command", -1);
    r = unserved.send(s);
    report("run_command", unserved, r);
    std::printf("\n");
    Variable::release(r);

    ProcessConfig(0, "", false).delete_key("DispPath");
    return s.good();
}

// -- 3 ---------------------------------------------------------------------

void policy_demo(std::string const &tree_file) {
    std::printf("\n== 3. The same tree asked in this process\n");
    PolicyManager *manager = PolicyManager::instance();
    {
        PolicyText::Error error;
        PolicyGroup *tree = PolicyText::load_file(tree_file.c_str(), &error);
        if (tree == nullptr) {
            std::printf("the tree file does not load: %s\n", error.text().c_str());
            return;
        }
        manager->lock_write();
        manager->swap(tree);
        manager->unlock_write();
        tree->release(); // the previous children
    }
    std::printf("%llu policies loaded\n", (unsigned long long)manager->count());

    static char const *const files[] = {
        "C:\\Users\\demo\\Documents\\report.docx", "\\??\\C:\\Users\\demo\\Documents\\a\\b.txt",
        "C:\\Users\\demo\\AppData\\Local\\x.tmp", "C:\\Windows\\System32\\kernel32.dll",
        "D:\\data\\notes.txt"};
    for (char const *file : files) {
        FilePolicyVisitor v(file, 1);
        manager->lock_read();
        manager->apply(v);
        manager->unlock_read();
        std::printf("  file %-44s -> policy %d%s%s\n", file, v.policy(),
                    *v.mappedfile() ? ", mapped to " : "", v.mappedfile());
    }
    // Why a temporary file gets value 2: the visitor's walk, node by node.
    {
        char const *file = files[2];
        PolicyTrace trace;
        FilePolicyVisitor v(file, 1);
        manager->lock_read();
        manager->apply(v);
        manager->unlock_read();
        std::printf("  explain %s:\n", file);
        for (PolicyTrace::Step const &step : trace.steps())
            std::printf("    %-12s %s%s%s\n", step.node.c_str(),
                        PolicyTrace::outcome_name(step.outcome), step.condition.empty() ? "" : ": ",
                        step.condition.c_str());
    }
    static char const *const images[] = {"C:\\Windows\\System32\\cmd.exe",
                                         "C:\\Windows\\notepad.exe", "C:\\Tools\\app.exe"};
    for (char const *image : images) {
        ProcessPolicyVisitor v(image, nullptr, -1);
        HookTypePolicyVisitor types(image, nullptr);
        manager->lock_read();
        manager->apply(v);
        manager->apply(types);
        manager->unlock_read();
        std::string list;
        for (std::string const &t : *types.hooktype())
            list += (list.empty() ? "" : ",") + t;
        std::printf("  process %-32s -> hook %d (%s), hook types [%s]\n", image, v.hook(),
                    *v.name() ? v.name() : "no policy", list.c_str());
    }
}

} // namespace

int main() {
    bool ok = stream_demo();

    // The policy text, compiled by the library into the file the helper loads.
    std::string tree_file = temp_path("zpt");
    {
        std::printf("\n== Policy text compiled for the helper\n%s", kPolicyText);
        PolicyText::Error error;
        PolicyGroup *root = PolicyText::parse(kPolicyText, &error);
        std::string bytes;
        if (root == nullptr || !PolicyText::to_bytes(*root, bytes)) {
            std::printf("the policy text does not compile: %s\n", error.text().c_str());
            ok = false;
        }
        if (root != nullptr)
            root->release();
        HandleStream out(open_file(tree_file, true));
        ok = out.write_(bytes.data(), bytes.size()) && out.good() && ok;
        std::printf("compiled to %zu bytes\n", bytes.size());
    }
    ok = dispatcher_demo(tree_file) && ok;
    policy_demo(tree_file);
    DeleteFileA(tree_file.c_str());
    std::printf("\n%s\n", ok ? "demonstration complete" : "demonstration FAILED");
    return ok ? 0 : 1;
}
