// Crash dumps: the settings and the crash filter called here with a made-up
// exception, and real faults of child_dump.exe. Writing a dump takes Wine
// many seconds, so exactly one is written (by the child); every other case
// finds the dump folder full (100 files), where the filter writes nothing.
#include "sys/Dump.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>

using namespace zem::vfs;
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

// A folder holding name_[0].dmp to name_[count - 1].dmp.
struct DumpFolder : TempFolder {
    DumpFolder(std::wstring const &name, int count) : TempFolder(L"zem dumps") {
        for (int i = 0; i < count; ++i)
            write_file(dump(name, i), "kept " + std::to_string(i));
    }
    std::wstring dump(std::wstring const &name, int i) const {
        return file(name + L"_[" + std::to_wstring(i) + L"].dmp");
    }
};

std::function<ChildResult()> run_child_in(std::wstring const &program, TempFolder const &dumps,
                                          wchar_t const *mode) {
    std::wstring const arguments = L"\"" + dumps.path() + L"\" " + mode;
    return [program, arguments] { return run_child(program, arguments); };
}

// Calls the installed filter as the system would for an exception here.
LONG crash(EXCEPTION_POINTERS &pointers) {
    static EXCEPTION_RECORD record = {};
    static CONTEXT context;
    record.ExceptionCode = 0xE0000042;
    RtlCaptureContext(&context);
    pointers = {&record, &context};
    LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(filter);
    return filter == nullptr ? -100 : filter(&pointers);
}

} // namespace

TEST(Dump, SettingsAndTheFilterWithAFullFolder) {
    // Meanwhile, in other processes: the one real dump, a fault of app.exe
    // with app_[0..2] present; a fault without a filter of its own (the
    // folder full); and dumps turned off again before the fault.
    DumpFolder dumps(L"app", 3), child_full(L"child_dump", 100), unused(L"child_dump", 0);
    TempFolder program(L"zem_dump_app");
    ASSERT_TRUE(copy_child(L"child_dump", program.path(), L"app.exe"));
    std::wstring const child = program_folder() + L"child_dump.exe";
    std::future<ChildResult> runs[] = {
        std::async(std::launch::async, run_child_in(program.file(L"app.exe"), dumps, L"chain")),
        std::async(std::launch::async, run_child_in(child, child_full, L"plain")),
        std::async(std::launch::async, run_child_in(child, unused, L"off"))};

    LPTOP_LEVEL_EXCEPTION_FILTER const saved = SetUnhandledExceptionFilter(previous_filter);
    DumpFolder full(L"test_sys", 100), empty(L"test_sys", 0);
    std::string const folder = narrow(full.path());
    std::string too_long = folder;
    while (too_long.size() < 262)
        too_long += "\\.";
    write_file(full.file(L"plain.txt"), "x");
    for (std::string refused :
         {std::string(), folder + "\\missing", folder + "\\plain.txt", too_long})
        EXPECT_EQ(0, dump::Initialize(refused.c_str())) << refused;
    EXPECT_EQ(0, dump::Initialize(nullptr));
    EXPECT_EQ(reinterpret_cast<void *>(previous_filter), current_filter());

    ASSERT_EQ(1, dump::Initialize(folder.c_str()));
    EXPECT_NE(reinterpret_cast<void *>(previous_filter), current_filter());
    EXPECT_EQ(1, dump::Initialize(narrow(empty.path()).c_str())); // on already: kept
    EXCEPTION_POINTERS pointers;
    EXPECT_EQ(EXCEPTION_EXECUTE_HANDLER, crash(pointers)); // the previous filter decides
    EXPECT_EQ(&pointers, g_seen);
    EXPECT_FALSE(file_exists(empty.dump(L"test_sys", 0)));
    EXPECT_FALSE(file_exists(full.dump(L"test_sys", 100)));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ("kept " + std::to_string(i), read_file(full.dump(L"test_sys", i))) << i;
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

    struct Expected {
        DWORD exit;
        char const *line;
    } const expected[] = {{77, "own_filter code=c0000005"}, {0xC0000005, "init=1"}, {77, "init=1"}};
    for (int i = 0; i < 3; ++i) {
        ChildResult r = runs[i].get();
        SCOPED_TRACE(r.output);
        EXPECT_EQ(expected[i].exit, r.exit_code);
        EXPECT_TRUE(r.has_line("init=1") && r.has_line(expected[i].line));
        EXPECT_FALSE(r.has_line("survived"));
    }
    std::string const written = read_file(dumps.dump(L"app", 3));
    EXPECT_EQ("MDMP", written.substr(0, 4));
    EXPECT_GT(written.size(), 1000u);
    EXPECT_FALSE(file_exists(dumps.dump(L"app", 4)));
    EXPECT_FALSE(file_exists(child_full.dump(L"child_dump", 100)));
    EXPECT_FALSE(file_exists(unused.dump(L"child_dump", 0)));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ("kept " + std::to_string(i), read_file(dumps.dump(L"app", i)));
}
