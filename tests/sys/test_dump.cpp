// Crash dumps: the settings and the crash filter called in this process with
// a made-up exception, then real faults of child_dump.exe.
#include "sys/Dump.h"

#include "service/ServiceSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace zem::vfs;
using namespace zem::vfs::ntdll;
using namespace zem::vfs::test;

namespace {

std::string ansi(std::wstring const &text) {
    return narrow(text);
}

bool is_minidump(std::wstring const &path) {
    std::string content = read_file(path);
    return content.size() > 32 && content.compare(0, 4, "MDMP") == 0;
}

// A filter that stands for the one in place before dumps are turned on.
EXCEPTION_POINTERS *g_seen = nullptr;
int g_calls = 0;

LONG WINAPI previous_filter(EXCEPTION_POINTERS *pointers) {
    g_seen = pointers;
    ++g_calls;
    return EXCEPTION_EXECUTE_HANDLER;
}

LPTOP_LEVEL_EXCEPTION_FILTER current_filter() {
    LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(filter);
    return filter;
}

class DumpTest : public ::testing::Test {
protected:
    DumpTest() : folder_(L"zem_dump") {}
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        saved_ = SetUnhandledExceptionFilter(previous_filter);
        g_seen = nullptr;
        g_calls = 0;
    }
    void TearDown() override {
        dump::Uninitialize();
        SetUnhandledExceptionFilter(saved_);
    }

    // Calls the installed filter as the system would for an exception of
    // this thread.
    LONG crash() {
        LPTOP_LEVEL_EXCEPTION_FILTER filter = current_filter();
        if (filter == nullptr)
            return -100;
        record_ = EXCEPTION_RECORD();
        record_.ExceptionCode = 0xE0000042;
        RtlCaptureContext(&context_);
        record_.ExceptionAddress = reinterpret_cast<void *>(context_.Rip);
        pointers_.ExceptionRecord = &record_;
        pointers_.ContextRecord = &context_;
        return filter(&pointers_);
    }

    std::wstring dump_file(int i) const {
        return folder_.file(L"test_sys_[" + std::to_wstring(i) + L"].dmp");
    }

    TempFolder folder_;
    LPTOP_LEVEL_EXCEPTION_FILTER saved_ = nullptr;
    EXCEPTION_RECORD record_;
    CONTEXT context_;
    EXCEPTION_POINTERS pointers_;
};

} // namespace

TEST_F(DumpTest, RefusedFoldersLeaveDumpsOff) {
    EXPECT_EQ(0, dump::Initialize(nullptr));
    EXPECT_EQ(0, dump::Initialize(""));
    EXPECT_EQ(0, dump::Initialize(ansi(folder_.file(L"missing")).c_str()));
    // A file is no folder for dumps.
    ASSERT_TRUE(write_file(folder_.file(L"plain.txt"), "x"));
    EXPECT_EQ(0, dump::Initialize(ansi(folder_.file(L"plain.txt")).c_str()));
    // 260 characters or more are refused even when they name a folder.
    std::string long_name = ansi(folder_.path());
    while (long_name.size() < 262)
        long_name += "\\.";
    EXPECT_EQ(0, dump::Initialize(long_name.c_str()));
    EXPECT_EQ(reinterpret_cast<void *>(previous_filter),
              reinterpret_cast<void *>(current_filter()));
    dump::Uninitialize();
    EXPECT_EQ(reinterpret_cast<void *>(previous_filter),
              reinterpret_cast<void *>(current_filter()));
}

TEST_F(DumpTest, FilterWritesDumpAndChains) {
    ASSERT_EQ(1, dump::Initialize(ansi(folder_.path()).c_str()));
    EXPECT_NE(reinterpret_cast<void *>(previous_filter),
              reinterpret_cast<void *>(current_filter()));
    // On already: another folder is not taken.
    TempFolder other(L"zem_dump_other");
    EXPECT_EQ(1, dump::Initialize(ansi(other.path()).c_str()));

    EXPECT_EQ(EXCEPTION_EXECUTE_HANDLER, crash());
    EXPECT_EQ(1, g_calls);
    EXPECT_EQ(&pointers_, g_seen);
    EXPECT_TRUE(is_minidump(dump_file(0)));
    EXPECT_FALSE(file_exists(other.file(L"test_sys_[0].dmp")));

    // The next crash takes the next name.
    EXPECT_EQ(EXCEPTION_EXECUTE_HANDLER, crash());
    EXPECT_TRUE(is_minidump(dump_file(1)));

    dump::Uninitialize();
    EXPECT_EQ(reinterpret_cast<void *>(previous_filter),
              reinterpret_cast<void *>(current_filter()));
    // Off: a new folder is taken.
    EXPECT_EQ(1, dump::Initialize(ansi(other.path()).c_str()));
    crash();
    EXPECT_TRUE(is_minidump(other.file(L"test_sys_[0].dmp")));
    EXPECT_FALSE(file_exists(dump_file(2)));
}

TEST_F(DumpTest, ExistingDumpsAreKept) {
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(write_file(dump_file(i), "old dump " + std::to_string(i)));
    ASSERT_EQ(1, dump::Initialize(ansi(folder_.path()).c_str()));
    crash();
    EXPECT_TRUE(is_minidump(dump_file(3)));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ("old dump " + std::to_string(i), read_file(dump_file(i)));
}

TEST_F(DumpTest, HundredDumpsAreTheLimit) {
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(write_file(dump_file(i), "old"));
    ASSERT_EQ(1, dump::Initialize(ansi(folder_.path()).c_str()));
    // No dump, but the previous filter still decides.
    EXPECT_EQ(EXCEPTION_EXECUTE_HANDLER, crash());
    EXPECT_EQ(1, g_calls);
    EXPECT_FALSE(file_exists(dump_file(100)));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ("old", read_file(dump_file(i))) << i;
}

TEST_F(DumpTest, WithoutPreviousFilterSearchGoesOn) {
    SetUnhandledExceptionFilter(nullptr);
    ASSERT_EQ(1, dump::Initialize(ansi(folder_.path()).c_str()));
    EXPECT_EQ(EXCEPTION_CONTINUE_SEARCH, crash());
    EXPECT_EQ(0, g_calls);
    EXPECT_TRUE(is_minidump(dump_file(0)));
    dump::Uninitialize();
    EXPECT_EQ(nullptr, reinterpret_cast<void *>(current_filter()));
}

// A real fault in another process, whose image is named app.exe.
TEST(DumpChildTest, FaultWritesNextFreeDumpThenChains) {
    TempFolder program(L"zem_dump_app");
    TempFolder dumps(L"zem dumps");
    ASSERT_TRUE(copy_child(L"child_dump", program.path(), L"app.exe"));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(write_file(dumps.file(L"app_[" + std::to_wstring(i) + L"].dmp"),
                               "kept " + std::to_string(i)));
    ChildResult child =
        run_child(program.file(L"app.exe"), L"\"" + dumps.path() + L"\" chain", 0, {}, 60000);
    ASSERT_TRUE(child.finished) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("init=1")) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("own_filter code=c0000005")) << child.output;
    EXPECT_EQ(std::string::npos, child.output.find("survived")) << child.output;
    EXPECT_EQ(77u, child.exit_code);
    EXPECT_TRUE(is_minidump(dumps.file(L"app_[3].dmp")));
    EXPECT_FALSE(file_exists(dumps.file(L"app_[4].dmp")));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ("kept " + std::to_string(i),
                  read_file(dumps.file(L"app_[" + std::to_wstring(i) + L"].dmp")));
}

TEST(DumpChildTest, FaultWithoutOwnFilterEndsProcess) {
    TempFolder dumps(L"zem_dump_plain");
    ChildResult child = run_child(program_folder() + L"child_dump.exe",
                                  L"\"" + dumps.path() + L"\" plain", 0, {}, 60000);
    ASSERT_TRUE(child.finished) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("init=1")) << child.output;
    EXPECT_EQ(std::string::npos, child.output.find("survived")) << child.output;
    EXPECT_NE(0u, child.exit_code);
    EXPECT_TRUE(is_minidump(dumps.file(L"child_dump_[0].dmp")));
}

TEST(DumpChildTest, TurnedOffWritesNothing) {
    TempFolder dumps(L"zem_dump_off");
    ChildResult child = run_child(program_folder() + L"child_dump.exe",
                                  L"\"" + dumps.path() + L"\" off", 0, {}, 60000);
    ASSERT_TRUE(child.finished) << child.output;
    EXPECT_EQ(77u, child.exit_code) << child.output;
    EXPECT_FALSE(file_exists(dumps.file(L"child_dump_[0].dmp")));
}
