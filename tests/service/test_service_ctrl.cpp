// WinServiceCtrl against the real service control manager (Wine's
// services.exe in the test prefix), with copies of child_service.exe
// installed under names unique to the run and always removed again.
#include "service/WinServiceCtrl.h"

#include "service/ServiceSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

bool has_line(std::string const &output, std::string const &line) {
    std::string text = "\n" + output;
    return text.find("\n" + line + "\n") != std::string::npos ||
           text.find("\n" + line + "\r\n") != std::string::npos;
}

// The image path of a running process; empty when it cannot be read.
std::wstring process_image(DWORD pid) {
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    wchar_t path[MAX_PATH * 2];
    DWORD size = MAX_PATH * 2;
    if (!process.valid() || !QueryFullProcessImageNameW(process.get(), 0, path, &size))
        return std::wstring();
    return std::wstring(path, size);
}

bool same_path(std::wstring const &a, std::wstring const &b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Installs `service` by running its copy with "install".
::testing::AssertionResult install(TestService const &service,
                                   std::wstring const &arguments = L"") {
    ChildResult child = service.run(L"install" + arguments);
    if (!child.finished || child.exit_code != 0 || !has_line(child.output, "install=1"))
        return ::testing::AssertionFailure() << "install failed: " << child.output;
    return ::testing::AssertionSuccess();
}

struct ServiceConfig {
    bool read = false;
    DWORD type = 0;
    DWORD start = 0;
    DWORD error_control = 0;
    std::wstring image;
    std::wstring account;
    std::wstring display;
    std::wstring description;
};

ServiceConfig read_config(std::wstring const &name) {
    ServiceConfig config;
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(manager.get() ? OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG)
                                   : nullptr);
    if (!service.get())
        return config;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!QueryServiceConfigW(service.get(),
                             reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data()),
                             DWORD(buffer.size()), &needed))
        return config;
    auto *q = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
    config.type = q->dwServiceType;
    config.start = q->dwStartType;
    config.error_control = q->dwErrorControl;
    config.image = q->lpBinaryPathName ? q->lpBinaryPathName : L"";
    config.account = q->lpServiceStartName ? q->lpServiceStartName : L"";
    config.display = q->lpDisplayName ? q->lpDisplayName : L"";
    std::vector<BYTE> text(8192);
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, text.data(),
                             DWORD(text.size()), &needed)) {
        auto *d = reinterpret_cast<SERVICE_DESCRIPTIONW *>(text.data());
        config.description = d->lpDescription ? d->lpDescription : L"";
    }
    config.read = true;
    return config;
}

// Logger settings of one program under HKEY_LOCAL_MACHINE "Software\Tavrin
// Labs\Quillon\<program>": debug level into `file`. Removed at the end with
// every key level created for them.
class ProgramLogSettings {
public:
    ProgramLogSettings(std::wstring const &program, std::wstring const &file) {
        std::string const levels[] = {"Software\\Tavrin Labs", "Software\\Tavrin Labs\\Quillon",
                                      "Software\\Tavrin Labs\\Quillon\\" + narrow(program)};
        for (std::string const &level : levels) {
            HKEY key = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, level.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, &disposition) != ERROR_SUCCESS)
                return;
            if (disposition == REG_CREATED_NEW_KEY)
                created_.push_back(level);
            if (&level == &levels[2]) {
                std::string const path = narrow(file);
                ok_ = RegSetValueExA(key, "LogLevel", 0, REG_SZ,
                                     reinterpret_cast<BYTE const *>("debug"), 6) == ERROR_SUCCESS &&
                      RegSetValueExA(key, "LogFile", 0, REG_SZ,
                                     reinterpret_cast<BYTE const *>(path.c_str()),
                                     DWORD(path.size() + 1)) == ERROR_SUCCESS;
            }
            RegCloseKey(key);
        }
    }
    ~ProgramLogSettings() {
        for (auto it = created_.rbegin(); it != created_.rend(); ++it)
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, it->c_str());
    }
    ProgramLogSettings(ProgramLogSettings const &) = delete;
    ProgramLogSettings &operator=(ProgramLogSettings const &) = delete;
    bool ok() const { return ok_ && !created_.empty(); }

private:
    std::vector<std::string> created_;
    bool ok_ = false;
};

} // namespace

TEST(WinServiceCtrlTest, MissingServiceRecordsMessages) {
    std::wstring name = L"zemsvc_missing_" + std::to_wstring(GetCurrentProcessId());
    WinServiceCtrl ctrl(name.c_str());
    EXPECT_STREQ("", ctrl.error());
    // ERROR_SERVICE_DOES_NOT_EXIST, 1060.
    EXPECT_FALSE(ctrl.uninstall());
    EXPECT_STREQ("OpenService fail(0x424)", ctrl.error());
    EXPECT_FALSE(ctrl.start());
    EXPECT_STREQ("OpenService fail(0x424)", ctrl.error());
    EXPECT_FALSE(ctrl.stop());
    EXPECT_STREQ("OpenService fail(0x424)", ctrl.error());
    EXPECT_EQ(0u, ctrl.get_pid());
    EXPECT_STREQ("OpenService fail(0x424)", ctrl.error());

    WinServiceCtrl nameless(nullptr);
    EXPECT_EQ(0u, nameless.get_pid());
    EXPECT_NE(std::string::npos, std::string(nameless.error()).find("OpenService fail(0x"));
}

// The whole life of a service installed from a folder whose name has a blank,
// with a program named after the first word of that folder lying in wait.
TEST(WinServiceCtrlTest, InstallStartStopUninstall) {
    TestService service(L"", L"zem svc");
    ASSERT_TRUE(service.ready());
    ASSERT_NE(std::wstring::npos, service.path().find(L' '));
    // Unquoted, "...\zem svc_<pid>_<n>\zemsvc_....exe" would start
    // "...\zem.exe" first, as LocalSystem.
    std::wstring decoy_folder = service.folder().path();
    decoy_folder = decoy_folder.substr(0, decoy_folder.find_last_of(L'\\') + 1);
    std::wstring decoy = decoy_folder + L"zem.exe";
    ASSERT_TRUE(CopyFileW((program_folder() + L"child_service.exe").c_str(), decoy.c_str(), FALSE));
    DeleteFileW((decoy_folder + L"zem.log").c_str());
    struct RemoveDecoy {
        std::wstring path;
        ~RemoveDecoy() { DeleteFileW(path.c_str()); }
    } remove_decoy{decoy};

    WinServiceCtrl ctrl(service.name().c_str());
    // Not installed yet: this message stays until the next failure.
    EXPECT_FALSE(ctrl.uninstall());
    EXPECT_STREQ("OpenService fail(0x424)", ctrl.error());

    ChildResult installed =
        service.run(L"install \"ZEM test service\" \"Runs the host for the tests\"");
    ASSERT_TRUE(installed.finished);
    ASSERT_TRUE(has_line(installed.output, "install=1")) << installed.output;
    EXPECT_TRUE(has_line(installed.output, "error=")) << installed.output;
    // ERROR_SERVICE_EXISTS, 1073.
    EXPECT_TRUE(has_line(installed.output, "again=0")) << installed.output;
    EXPECT_TRUE(has_line(installed.output, "error_again=CreateService fail(0x431)"))
        << installed.output;

    ServiceConfig config = read_config(service.name());
    ASSERT_TRUE(config.read);
    EXPECT_EQ(DWORD(SERVICE_WIN32_OWN_PROCESS), config.type & 0xFF);
    EXPECT_EQ(DWORD(SERVICE_AUTO_START), config.start);
    EXPECT_EQ(DWORD(SERVICE_ERROR_NORMAL), config.error_control);
    EXPECT_TRUE(same_path(L"\"" + service.path() + L"\"", config.image)) << narrow(config.image);
    EXPECT_TRUE(same_path(L"LocalSystem", config.account)) << narrow(config.account);
    EXPECT_EQ(L"ZEM test service", config.display);
    EXPECT_EQ(L"Runs the host for the tests", config.description);

    EXPECT_EQ(0u, ctrl.get_pid());
    EXPECT_STREQ("OpenService fail(0x424)", ctrl.error());

    // The service's own logger writes at debug level into its folder.
    std::wstring const records = service.folder().file(L"records.log");
    ProgramLogSettings settings(service.name(), records);
    ASSERT_TRUE(settings.ok());

    ASSERT_TRUE(ctrl.start()) << ctrl.error();
    DWORD pid = ctrl.get_pid();
    ASSERT_NE(0u, pid);
    EXPECT_NE(std::string::npos,
              read_file(records).find("] ServiceMain for " + narrow(service.name()) + "\n"))
        << read_file(records);
    EXPECT_TRUE(same_path(service.path(), process_image(pid))) << narrow(process_image(pid));
    EXPECT_FALSE(file_exists(decoy_folder + L"zem.log"));
    EXPECT_TRUE(has_line(service.log(), "prepare_start service")) << service.log();
    EXPECT_TRUE(has_line(service.log(), "start 0")) << service.log();

    // Running already: nothing is started, the same process serves.
    EXPECT_TRUE(ctrl.start()) << ctrl.error();
    EXPECT_EQ(pid, ctrl.get_pid());
    EXPECT_STREQ("OpenService fail(0x424)", ctrl.error());

    // Other control codes reach on_event.
    {
        ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle handle(OpenServiceW(manager.get(), service.name().c_str(),
                                     SERVICE_USER_DEFINED_CONTROL | SERVICE_INTERROGATE));
        ASSERT_NE(nullptr, handle.get());
        SERVICE_STATUS status;
        EXPECT_TRUE(ControlService(handle.get(), 200, &status));
        EXPECT_EQ(DWORD(SERVICE_RUNNING), status.dwCurrentState);
        EXPECT_EQ(DWORD(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), status.dwControlsAccepted);
    }
    EXPECT_TRUE(has_line(service.log(), "event 200")) << service.log();

    ASSERT_TRUE(ctrl.stop()) << ctrl.error();
    SERVICE_STATUS_PROCESS status;
    ASSERT_TRUE(query_service(service.name(), status));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    std::string log = service.log();
    EXPECT_TRUE(has_line(log, "prepare_stop 1")) << log;
    EXPECT_TRUE(has_line(log, "stop")) << log;
    EXPECT_TRUE(has_line(log, "end")) << log;
    EXPECT_LT(log.find("stop\n"), log.find("end\n")) << log;

    // Stopped: no process, no new message; stopping again succeeds at once.
    EXPECT_EQ(0u, ctrl.get_pid());
    EXPECT_STREQ("OpenService fail(0x424)", ctrl.error());
    EXPECT_TRUE(ctrl.stop());

    EXPECT_TRUE(ctrl.uninstall()) << ctrl.error();
    EXPECT_FALSE(ctrl.start());
    EXPECT_STREQ("OpenService fail(0x424)", ctrl.error());
    EXPECT_FALSE(file_exists(decoy_folder + L"zem.log"));
}

TEST(WinServiceCtrlTest, StartGivesUpWhenCheckpointStandsStill) {
    // The service reports SERVICE_START_PENDING with a wait hint of 5000 ms
    // and never advances its checkpoint: start() polls every second and gives
    // up once more than 5000 ms have passed, after about six seconds.
    TestService service(L"slowstart");
    ASSERT_TRUE(service.ready());
    ASSERT_TRUE(install(service));
    WinServiceCtrl ctrl(service.name().c_str());
    ULONGLONG begin = GetTickCount64();
    EXPECT_FALSE(ctrl.start());
    ULONGLONG elapsed = GetTickCount64() - begin;
    EXPECT_STREQ("timeout", ctrl.error());
    EXPECT_GE(elapsed, 5000u);
    EXPECT_LT(elapsed, 11000u);
    // Still starting: no process id yet.
    EXPECT_EQ(0u, ctrl.get_pid());
    // The service comes up in the end and can be stopped.
    ASSERT_TRUE(wait_state(service.name(), SERVICE_RUNNING, 20000));
    EXPECT_NE(0u, ctrl.get_pid());
    EXPECT_TRUE(ctrl.stop()) << ctrl.error();
    EXPECT_TRUE(ctrl.uninstall()) << ctrl.error();
}

// Sends SERVICE_CONTROL_STOP and returns the state it reports.
DWORD send_stop(std::wstring const &name) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle handle(manager.get() ? OpenServiceW(manager.get(), name.c_str(), SERVICE_STOP)
                                  : nullptr);
    SERVICE_STATUS status;
    if (!handle.get() || !ControlService(handle.get(), SERVICE_CONTROL_STOP, &status))
        return 0;
    return status.dwCurrentState;
}

TEST(WinServiceCtrlTest, StartAndStopWaitForStopInProgress) {
    // stop() of the service returns false, so the host leaves it
    // SERVICE_STOP_PENDING; its body ends 3.5 seconds later with result 5,
    // and the host reports SERVICE_STOPPED (exit code 0).
    TestService service(L"laterstop exit=5");
    ASSERT_TRUE(service.ready());
    ASSERT_TRUE(install(service));
    WinServiceCtrl ctrl(service.name().c_str());
    ASSERT_TRUE(ctrl.start()) << ctrl.error();
    DWORD first = ctrl.get_pid();
    ASSERT_NE(0u, first);

    // start() first waits for the stop, then starts a new process.
    ASSERT_EQ(DWORD(SERVICE_STOP_PENDING), send_stop(service.name()));
    ULONGLONG begin = GetTickCount64();
    ASSERT_TRUE(ctrl.start()) << ctrl.error();
    EXPECT_GE(GetTickCount64() - begin, 3000u);
    DWORD second = ctrl.get_pid();
    EXPECT_NE(0u, second);
    EXPECT_NE(first, second);
    std::string log = service.log();
    EXPECT_TRUE(has_line(log, "end")) << log;
    EXPECT_LT(log.find("end\n"), log.rfind("start 0")) << log;

    // stop() of a service already stopping waits for it.
    ASSERT_EQ(DWORD(SERVICE_STOP_PENDING), send_stop(service.name()));
    begin = GetTickCount64();
    EXPECT_TRUE(ctrl.stop()) << ctrl.error();
    EXPECT_GE(GetTickCount64() - begin, 3000u);
    SERVICE_STATUS_PROCESS status;
    ASSERT_TRUE(query_service(service.name(), status));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    EXPECT_EQ(0u, status.dwServiceSpecificExitCode);

    // The same through the control request of stop() itself: the service
    // answers SERVICE_STOP_PENDING and stop() polls until it has stopped.
    ASSERT_TRUE(ctrl.start()) << ctrl.error();
    begin = GetTickCount64();
    EXPECT_TRUE(ctrl.stop()) << ctrl.error();
    EXPECT_GE(GetTickCount64() - begin, 3000u);
    EXPECT_EQ(0u, ctrl.get_pid());
    EXPECT_TRUE(ctrl.uninstall()) << ctrl.error();
}

TEST(WinServiceCtrlTest, StopGivesUpAfterThirtySeconds) {
    // prepare_stop refuses: the service goes on running, and stop() gives up
    // 30 seconds after its first query.
    TestService service(L"refusestop");
    ASSERT_TRUE(service.ready());
    ASSERT_TRUE(install(service));
    WinServiceCtrl ctrl(service.name().c_str());
    ASSERT_TRUE(ctrl.start()) << ctrl.error();
    ULONGLONG begin = GetTickCount64();
    EXPECT_FALSE(ctrl.stop());
    ULONGLONG elapsed = GetTickCount64() - begin;
    EXPECT_STREQ("timeout", ctrl.error());
    EXPECT_GE(elapsed, 30000u);
    EXPECT_LT(elapsed, 36000u);
    EXPECT_TRUE(has_line(service.log(), "prepare_stop 1")) << service.log();
    EXPECT_NE(0u, ctrl.get_pid());
    // The process is ended by the test's clean-up; the registration can go
    // while it runs.
    EXPECT_TRUE(ctrl.uninstall()) << ctrl.error();
}
