// Writing a dump takes Wine many seconds, so exactly one is written (by a
// child); every other case finds no file it may create.
#include "sys/Dump.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

using namespace zem::vfs::ntdll;
using namespace zem::vfs::test;

namespace {

EXCEPTION_POINTERS *g_seen = nullptr;
LONG WINAPI previous_filter(EXCEPTION_POINTERS *pointers) {
    g_seen = pointers;
    return EXCEPTION_EXECUTE_HANDLER;
}

void *current_filter() {
    LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(filter);
    return reinterpret_cast<void *>(filter);
}

// Holds name_[0..count - 1].dmp; with a `length`, in a subfolder sized so that
// the full name of name_[count].dmp has that many characters.
struct DumpFolder : TempFolder {
    DumpFolder(std::wstring const &name, int count, std::size_t length = 0)
        : TempFolder(L"zem dumps"), name(name), where(path()) {
        if (length > 0) {
            std::size_t const used = path().size() + 1 + dump(count).size() - where.size();
            CreateDirectoryW((where = file(std::wstring(length - used, L'd'))).c_str(), nullptr);
        }
        for (int i = 0; i < count; ++i)
            write_file(dump(i), "kept " + std::to_string(i));
    }
    std::wstring dump(int i) const {
        return where + L"\\" + name + L"_[" + std::to_wstring(i) + L"].dmp";
    }
    std::wstring name, where;
};

std::future<ChildResult> fault(std::wstring const &program, std::wstring const &folder,
                               wchar_t const *mode) {
    std::wstring const arguments = L"dump \"" + folder + L"\" " + mode;
    return std::async(std::launch::async, [=] { return run_child(program, arguments); });
}

// Calls the installed filter as the system would for an exception here.
LONG crash(EXCEPTION_POINTERS &pointers) {
    static EXCEPTION_RECORD record = {};
    static CONTEXT context;
    record.ExceptionCode = 0xE0000042;
    RtlCaptureContext(&context);
    pointers = {&record, &context};
    auto filter = reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(current_filter());
    return filter == nullptr ? -100 : filter(&pointers);
}

} // namespace

TEST(Dump, SettingsAndTheFilter) {
    // Meanwhile the one real dump, app_[3].dmp with the longest full name
    // (259) under a folder given with a final separator, and a fault with no
    // filter of its own and the folder full.
    DumpFolder dumps(L"app", 3, MAX_PATH - 1), full(L"child_sys", 100);
    TempFolder program(L"zem_dump_app");
    ASSERT_TRUE(copy_child(L"child_sys", program.path(), L"app.exe"));
    std::wstring const child = program_folder() + L"child_sys.exe";
    std::future<ChildResult> runs[] = {
        fault(program.file(L"app.exe"), dumps.where + L"\\\\", L"chain"), // doubled before a quote
        fault(child, full.path(), L"plain")};

    LPTOP_LEVEL_EXCEPTION_FILTER const saved = SetUnhandledExceptionFilter(previous_filter);
    // Here the first dump's full name is one character too long.
    DumpFolder here(L"test_sys", 0, MAX_PATH), empty(L"test_sys", 0);
    std::string const folder = narrow(here.where);
    std::string longest = narrow(empty.path()) + "\\";
    while (longest.size() < MAX_PATH - 2)
        longest += ".\\";
    longest.resize(MAX_PATH - 1, '.'); // "...\\.\\." or "...\\.\\"
    write_file(empty.file(L"plain.txt"), "x");
    for (std::string refused :
         {std::string(), folder + "\\missing", narrow(empty.file(L"plain.txt")), longest + "."})
        EXPECT_EQ(0, dump::Initialize(refused.c_str())) << refused;
    EXPECT_EQ(0, dump::Initialize(nullptr));
    EXPECT_EQ(reinterpret_cast<void *>(previous_filter), current_filter());
    ASSERT_EQ(1, dump::Initialize(longest.c_str()));
    dump::Uninitialize();

    ASSERT_EQ(1, dump::Initialize(folder.c_str()));
    EXPECT_NE(reinterpret_cast<void *>(previous_filter), current_filter());
    EXPECT_EQ(1, dump::Initialize(narrow(empty.path()).c_str())); // on already: kept
    EXCEPTION_POINTERS pointers;
    EXPECT_EQ(EXCEPTION_EXECUTE_HANDLER, crash(pointers)); // the previous filter decides
    EXPECT_EQ(&pointers, g_seen);
    EXPECT_FALSE(file_exists(here.dump(0)));
    EXPECT_FALSE(file_exists(empty.dump(0)));
    dump::Uninitialize();
    EXPECT_EQ(reinterpret_cast<void *>(previous_filter), current_filter());

    SetUnhandledExceptionFilter(nullptr); // no previous filter: the search goes on
    ASSERT_EQ(1, dump::Initialize(folder.c_str()));
    g_seen = nullptr;
    EXPECT_EQ(EXCEPTION_CONTINUE_SEARCH, crash(pointers));
    EXPECT_EQ(nullptr, g_seen);
    dump::Uninitialize();
    EXPECT_EQ(nullptr, current_filter());
    dump::Uninitialize();
    SetUnhandledExceptionFilter(saved);

    for (int i = 0; i < 2; ++i) { // the own filter, then the system's end
        ChildResult r = runs[i].get();
        SCOPED_TRACE(r.output);
        EXPECT_EQ(i == 0 ? 77u : 0xC0000005u, r.exit_code);
        EXPECT_TRUE(r.has_line("init=1") &&
                    r.has_line(i == 0 ? "own_filter code=c0000005" : "init=1"));
        EXPECT_FALSE(r.has_line("survived"));
    }
    std::string const written = read_file(dumps.dump(3));
    EXPECT_EQ("MDMP", written.substr(0, 4));
    EXPECT_GT(written.size(), 1000u);
    EXPECT_FALSE(file_exists(dumps.dump(4)));
    EXPECT_FALSE(file_exists(full.dump(100)));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ("kept " + std::to_string(i), read_file(full.dump(i))) << i;
}
