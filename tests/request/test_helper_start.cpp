// Finding and starting the helper dispatcher: nothing is started without
// `start`; "DispPath" names the folder with or without a trailing separator;
// a path with blanks is quoted so no other program runs; a helper that has
// exited is replaced. "DispPath" lives under HKEY_LOCAL_MACHINE in the test's
// private prefix and is removed again.
#include "request/HelperTest.h"
#include "request/Processes.h"

#include "ipc/Pipe.h"
#include "request/RequestHandler.h"
#include "request/Requests.h"
#include "serialize/HandleStream.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

// The process id of the helper at the other end of a connected pipe.
DWORD server_of(Pipe const &pipe) {
    ULONG pid = 0;
    GetNamedPipeServerProcessId(pipe.handle(), &pid);
    return pid;
}

// The image path of a process.
std::string image_of(DWORD pid) {
    Handle p(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    char path[MAX_PATH * 2] = {};
    DWORD size = sizeof path;
    if (!p.valid() || !QueryFullProcessImageNameA(p.get(), 0, path, &size))
        return std::string();
    return std::string(path, size);
}

bool same_path(std::string const &a, std::string const &b) {
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

bool answers(Pipe &pipe) {
    HandleStream stream(pipe.detach());
    Request r("run_command", -1);
    Response *resp = r.send(stream, true);
    bool ok = resp != nullptr && resp->error() == 3 && resp->id() == r.id();
    Variable::release(resp);
    return ok;
}

class HelperStart : public ::testing::Test {
protected:
    void SetUp() override { kill_my_helpers(); }
    void TearDown() override { kill_my_helpers(); }
};

} // namespace

TEST_F(HelperStart, WithoutStartNothingIsStarted) {
    MachineRegistry registry;
    HelperFolder folder;
    ASSERT_TRUE(registry.set(kQuillon, "DispPath", folder.path()));
    Pipe pipe;
    EXPECT_FALSE(ResuestHandlerManager::get_helper_pipe(pipe, false));
    EXPECT_EQ(1, pipe.state());
    Sleep(200);
    EXPECT_TRUE(processes_named(kHelperExe, GetCurrentProcessId()).empty());
}

TEST_F(HelperStart, StartsFromDispPathInEveryFormAndConnects) {
    HelperFolder folder;
    ASSERT_TRUE(folder.ok());
    std::string forms[] = {folder.path(), folder.path() + "\\", folder.path() + "/"};
    for (auto const &form : forms) {
        MachineRegistry registry;
        ASSERT_TRUE(registry.set(kQuillon, "DispPath", form));
        Pipe pipe;
        ASSERT_TRUE(ResuestHandlerManager::get_helper_pipe(pipe, true)) << form;
        EXPECT_EQ(3, pipe.state());
        DWORD pid = server_of(pipe);
        std::vector<DWORD> mine = processes_named(kHelperExe, GetCurrentProcessId());
        ASSERT_EQ(1u, mine.size()) << form;
        if (pid != 0) {
            EXPECT_EQ(mine[0], pid);
        }
        std::string image = image_of(mine[0]);
        if (!image.empty()) {
            EXPECT_TRUE(same_path(folder.exe(), image)) << image;
        }
        EXPECT_TRUE(answers(pipe));

        // The running helper is found again without starting another.
        Pipe again;
        ASSERT_TRUE(ResuestHandlerManager::get_helper_pipe(again, true));
        EXPECT_EQ(1u, processes_named(kHelperExe, GetCurrentProcessId()).size());
        EXPECT_TRUE(answers(again));
        kill_my_helpers();
    }
}

TEST_F(HelperStart, HelperThatExitedIsReplaced) {
    HelperFolder folder;
    ASSERT_TRUE(folder.ok());
    MachineRegistry registry;
    ASSERT_TRUE(registry.set(kQuillon, "DispPath", folder.path()));
    Pipe first;
    ASSERT_TRUE(ResuestHandlerManager::get_helper_pipe(first, true));
    std::vector<DWORD> before = processes_named(kHelperExe, GetCurrentProcessId());
    ASSERT_EQ(1u, before.size());
    first.close();
    kill_process(before[0]);

    Pipe none;
    EXPECT_FALSE(ResuestHandlerManager::get_helper_pipe(none, false));
    Pipe second;
    ASSERT_TRUE(ResuestHandlerManager::get_helper_pipe(second, true));
    std::vector<DWORD> after = processes_named(kHelperExe, GetCurrentProcessId());
    ASSERT_EQ(1u, after.size());
    EXPECT_NE(before[0], after[0]);
    EXPECT_TRUE(answers(second));
}

TEST_F(HelperStart, MissingProgramStartsNothing) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    MachineRegistry registry;
    ASSERT_TRUE(registry.set(kQuillon, "DispPath", std::string(temp) + "zem_no_such_folder"));
    Pipe pipe;
    EXPECT_FALSE(ResuestHandlerManager::get_helper_pipe(pipe, true));
    // A folder with a quote in it is refused rather than split.
    MachineRegistry quoted;
    ASSERT_TRUE(quoted.set(kQuillon, "DispPath", std::string(temp) + "a\" b"));
    EXPECT_FALSE(ResuestHandlerManager::get_helper_pipe(pipe, true));
    EXPECT_TRUE(processes_named(kHelperExe, GetCurrentProcessId()).empty());
}

TEST_F(HelperStart, FolderWithBlanksRunsNoOtherProgram) {
    // <base>\disp dir\zem.vfs.dispatcher_wow64.exe, with <base>\disp.exe
    // waiting for an unquoted command line.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string base = std::string(temp) + "zemdecoy_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(base.c_str(), nullptr);
    std::string decoy = base + "\\disp.exe";
    std::string marker = decoy + ".ran";
    ASSERT_TRUE(CopyFileA((bin_folder() + "child_decoy.exe").c_str(), decoy.c_str(), FALSE));
    ASSERT_TRUE(HelperFolder::copy_dlls(base));
    {
        HelperFolder folder(base, "disp dir");
        ASSERT_TRUE(folder.ok());

        // The hazard is real here: an unquoted command line runs the decoy.
        std::string unquoted = folder.exe() + " /helper " + std::to_string(GetCurrentProcessId());
        std::vector<char> line(unquoted.begin(), unquoted.end());
        line.push_back('\0');
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                           nullptr, &si, &pi)) {
            WaitForSingleObject(pi.hProcess, 20000);
            TerminateProcess(pi.hProcess, 9);
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
        bool unquoted_ran_decoy = GetFileAttributesA(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
        std::printf("an unquoted command line %s the decoy\n",
                    unquoted_ran_decoy ? "ran" : "did not run");
        DeleteFileA(marker.c_str());
        kill_my_helpers();

        MachineRegistry registry;
        ASSERT_TRUE(registry.set(kQuillon, "DispPath", folder.path()));
        Pipe pipe;
        ASSERT_TRUE(ResuestHandlerManager::get_helper_pipe(pipe, true));
        EXPECT_TRUE(answers(pipe));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(marker.c_str()));
        EXPECT_EQ(1u, processes_named(kHelperExe, GetCurrentProcessId()).size());
    }
    remove_folder(base);
}

TEST_F(HelperStart, WithoutDispPathTheBareNameIsSearched) {
    // The bare name is found beside the calling program (the build folder).
    std::string beside = bin_folder() + kHelperExe;
    bool copied = false;
    if (GetFileAttributesA(beside.c_str()) == INVALID_FILE_ATTRIBUTES) {
        ASSERT_TRUE(CopyFileA(built_helper().c_str(), beside.c_str(), TRUE));
        copied = true;
    }
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kQuillon, 0, KEY_QUERY_VALUE, &key) ==
            ERROR_SUCCESS) {
            EXPECT_NE(ERROR_SUCCESS,
                      RegQueryValueExA(key, "DispPath", nullptr, nullptr, nullptr, nullptr));
            RegCloseKey(key);
        }
        Pipe pipe;
        EXPECT_TRUE(ResuestHandlerManager::get_helper_pipe(pipe, true));
        std::vector<DWORD> mine = processes_named(kHelperExe, GetCurrentProcessId());
        ASSERT_EQ(1u, mine.size());
        std::string image = image_of(mine[0]);
        if (!image.empty()) {
            EXPECT_TRUE(same_path(beside, image)) << image;
        }
        EXPECT_TRUE(answers(pipe));
    }
    kill_my_helpers();
    if (copied) {
        for (int i = 0; i < 50 && !DeleteFileA(beside.c_str()); ++i)
            Sleep(100);
    }
}

TEST_F(HelperStart, PrintLogReachesTheHelpersLogFile) {
    HelperFolder folder;
    ASSERT_TRUE(folder.ok());
    std::string log = folder.path() + "\\helper.log";
    MachineRegistry registry;
    std::string program = std::string(kQuillon) + "\\zem.vfs.dispatcher_wow64";
    ASSERT_TRUE(registry.set(program, "LogFile", log));
    ASSERT_TRUE(registry.set(program, "LogLevel", "5"));
    RunningHelper helper(folder);
    ASSERT_TRUE(helper.ready());
    auto stream = helper.client();
    ASSERT_TRUE(stream);
    LogRequest shown("first line\n[2000-01-01 00:00:00.000] [1] forged", 3);
    ASSERT_TRUE(shown.send_and_release(*stream));
    LogRequest hidden("too detailed", 7);
    ASSERT_TRUE(hidden.send_and_release(*stream));
    LogRequest plain("with the default level");
    ASSERT_TRUE(plain.send_and_release(*stream));
    LogRequest notice("a notice", 5);
    ASSERT_TRUE(notice.send_and_release(*stream));
    stream.reset();
    helper.child().kill();

    std::string text;
    HANDLE f = CreateFileA(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(f, chunk, sizeof chunk, &n, nullptr) && n > 0)
        text.append(chunk, n);
    CloseHandle(f);
    EXPECT_NE(std::string::npos, text.find("first line [2000-01-01 00:00:00.000] [1] forged\n"))
        << text;
    EXPECT_EQ(std::string::npos, text.find("\n[2000-01-01")) << text;
    EXPECT_NE(std::string::npos, text.find("a notice")) << text;
    EXPECT_EQ(std::string::npos, text.find("too detailed")) << text;
    EXPECT_EQ(std::string::npos, text.find("with the default level")) << text;
}
