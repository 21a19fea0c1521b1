// The service host and WinServiceCtrl: the manager's table, the host run directly
// (child_service.exe) and installed with the real service control manager.
#include "service/WinService.h"
#include "service/WinServiceCtrl.h"
#include "service/WinServiceManager.h"
#include "support/ChildProcess.h"
#include "sys/internal/Handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

class Plain : public WinService {
public:
    explicit Plain(wchar_t const *name) : WinService(name) {}
    bool stop() override { return true; }
    int start(int, wchar_t **) override { return 0; }
};

detail::ServiceHandle open_service(std::wstring const &name) {
    detail::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return detail::ServiceHandle(OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
}
// The status after the control `code` (none: 0); all zero on a failure.
SERVICE_STATUS query(std::wstring const &name, DWORD code = 0) {
    SERVICE_STATUS s = {};
    detail::ServiceHandle service = open_service(name);
    return (code ? ControlService(service.get(), code, &s) : QueryServiceStatus(service.get(), &s))
               ? s
               : SERVICE_STATUS{};
}

// child_service.exe copied to a folder named with a blank, installed under a
// unique name with `words` in its .cfg; ended and removed at the end.
unsigned counter = 0;
struct TestService {
    explicit TestService(char const *words, std::wstring const &args = L"")
        : folder(L"zem svc"),
          name(L"zemsvc_" + std::to_wstring(GetTickCount()) + L"_" + std::to_wstring(++counter)),
          exe(folder.file(name + L".exe")) {
        copy_child(L"child_service", folder.path(), name + L".exe");
        configure(words);
        EXPECT_EQ(0u, run_child(exe, L"install" + args).exit_code);
    }
    ~TestService() {
        Handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                   WinServiceCtrl(name.c_str()).get_pid()));
        if (TerminateProcess(process.get(), 1))
            WaitForSingleObject(process.get(), 10000);
        DeleteService(open_service(name).get());
    }
    void configure(char const *words) { write_file(folder.file(name + L".cfg"), words); }
    TempFolder folder;
    std::wstring name, exe;
};

} // namespace

// The one manager of the process; no other test here registers services. A
// name is copied whole or refused, never cut to another's; "S1" is not "s1".
TEST(WinServiceManager, TableOfTenSlotsAndTheServicesDefaults) {
    WinServiceManager *m = WinServiceManager::instance();
    std::wstring const longest(255, L'n'), longer = longest + L"n";
    static std::vector<std::unique_ptr<Plain>> s;
    for (wchar_t const *name : {L"s0", L"S1", L"s2", L"s3", L"s4", L"s5", L"s6", L"s7", L"s8",
                                longest.c_str(), L"s10", longer.c_str(), L"s0"})
        s.emplace_back(new Plain(name));
    EXPECT_TRUE(*s[11]->name() == L'\0' && *Plain(nullptr).name() == L'\0');
    EXPECT_FALSE(m->add(nullptr) || m->add(s[11].get())); // no name
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(i < 10, m->add(s[i].get())) << i; // full, then taken
    EXPECT_TRUE(m->get(0) == s[0].get() && m->get(9) == s[9].get());
    EXPECT_TRUE(m->get(10) == nullptr && m->get(-1) == nullptr);
    EXPECT_TRUE(m->get(L"S1") == s[1].get() && m->get(longest.c_str()) == s[9].get());
    EXPECT_TRUE(m->get(L"s10") == nullptr &&
                m->get(static_cast<wchar_t const *>(nullptr)) == nullptr);
    Plain &service = *s[12];
    EXPECT_TRUE(service.console() && !service.set_status(SERVICE_RUNNING, 0, 0, 0, 1000));
    EXPECT_TRUE(service.prepare_stop(1) && service.on_shutdown() && service.on_event(128));
    EXPECT_TRUE(service.prepare_start(nullptr) &&
                service.prepare_start(nullptr)); // nothing stored in the console
    EXPECT_TRUE(service.prepare_start(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234)));
    EXPECT_FALSE(service.console());
    EXPECT_FALSE(service.prepare_start(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5678)));
}

// A service installed from a folder whose name has a blank: its first start
// given up (the checkpoint stood still past the 500 ms hint), a stop finished
// 300 ms after stop() failed, which start() and stop() wait for; uninstalled.
TEST(WinServiceCtrl, InstallStartControlStopUninstall) {
    TestService service("slowstart", L" \"ZEM test service\" \"Runs the host\"");
    std::vector<BYTE> buffer(8192), text(8192);
    auto *q = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
    DWORD n = 0; // the handles closed before the deletion
    ASSERT_TRUE(QueryServiceConfigW(open_service(service.name).get(), q, 8192, &n) &&
                QueryServiceConfig2W(open_service(service.name).get(), SERVICE_CONFIG_DESCRIPTION,
                                     text.data(), 8192, &n));
    EXPECT_TRUE((q->dwServiceType & 0xFF) == SERVICE_WIN32_OWN_PROCESS &&
                q->dwStartType == SERVICE_AUTO_START && q->dwErrorControl == SERVICE_ERROR_NORMAL);
    EXPECT_EQ(0, lstrcmpiW((L"\"" + service.exe + L"\"").c_str(), q->lpBinaryPathName));
    EXPECT_EQ(0, lstrcmpiW(L"LocalSystem", q->lpServiceStartName));
    EXPECT_STREQ(L"ZEM test service", q->lpDisplayName);
    EXPECT_STREQ(L"Runs the host",
                 reinterpret_cast<SERVICE_DESCRIPTIONW *>(text.data())->lpDescription);

    WinServiceCtrl ctrl(service.name.c_str());
    EXPECT_FALSE(ctrl.install(nullptr, nullptr)); // not this program's image, but the name is taken
    EXPECT_EQ(0u, ctrl.get_pid());                // stopped: no new message
    EXPECT_STREQ("CreateService fail(0x431)", ctrl.error());
    ULONGLONG begin = GetTickCount64();
    EXPECT_FALSE(ctrl.start());
    EXPECT_STREQ("timeout", ctrl.error());
    EXPECT_GE(GetTickCount64() - begin, 1000u);
    EXPECT_EQ(0u, ctrl.get_pid()); // still starting
    for (int i = 0; i < 400 && query(service.name).dwCurrentState != SERVICE_RUNNING; ++i)
        Sleep(25); // until prepare_start lets it run
    DWORD pid = ctrl.get_pid();
    ASSERT_NE(0u, pid);
    EXPECT_TRUE(ctrl.start() && ctrl.get_pid() == pid); // running: nothing started
    EXPECT_EQ(DWORD(SERVICE_RUNNING), query(service.name, 200).dwCurrentState);
    EXPECT_EQ(DWORD(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN),
              query(service.name).dwControlsAccepted);
    ASSERT_TRUE(ctrl.stop()) << ctrl.error();
    EXPECT_TRUE(ctrl.stop()); // stopped already

    service.configure("laterstop exit=5");
    ASSERT_TRUE(ctrl.start()) << ctrl.error();
    pid = ctrl.get_pid();
    ASSERT_EQ(DWORD(SERVICE_STOP_PENDING),
              query(service.name, SERVICE_CONTROL_STOP).dwCurrentState);
    begin = GetTickCount64();
    ASSERT_TRUE(ctrl.start()) << ctrl.error();
    EXPECT_GE(GetTickCount64() - begin, 1000u); // one poll interval
    EXPECT_NE(pid, ctrl.get_pid());
    begin = GetTickCount64();
    EXPECT_TRUE(ctrl.stop()) << ctrl.error();
    EXPECT_GE(GetTickCount64() - begin, 1000u); // the wait hint of the stop-pending report
    SERVICE_STATUS const status = query(service.name);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode + status.dwServiceSpecificExitCode);
    std::string const again = "prepare_start service\nstart 0\nprepare_stop 1\nstop\nend\n";
    EXPECT_EQ("prepare_start service\nstart 0\nevent 200\nprepare_stop 1\nstop\nend\n" + again +
                  again,
              read_file(service.folder.file(service.name + L".log")));
    EXPECT_TRUE(ctrl.uninstall()) << ctrl.error();
    for (int op = 0; op < 4; ++op) {
        WinServiceCtrl gone(service.name.c_str()); // each call records its own message
        EXPECT_FALSE(op == 0   ? gone.uninstall()
                     : op == 1 ? gone.start()
                     : op == 2 ? gone.stop()
                               : gone.get_pid() != 0);
        EXPECT_STREQ("OpenService fail(0x424)", gone.error()); // ERROR_SERVICE_DOES_NOT_EXIST
    }
}

TEST(WinServiceCtrl, StopTakenBackFailsAndLeavesItRunning) {
    TestService service("backtorun");
    WinServiceCtrl ctrl(service.name.c_str());
    ASSERT_TRUE(ctrl.start()) << ctrl.error();
    ASSERT_EQ(DWORD(SERVICE_STOP_PENDING),
              query(service.name, SERVICE_CONTROL_STOP).dwCurrentState);
    EXPECT_FALSE(ctrl.stop());
    EXPECT_EQ(DWORD(SERVICE_RUNNING), query(service.name).dwCurrentState);
}

// Last: under Wine the refused dispatcher waits 10 s unless a service ran
// before in this session.
TEST(ServiceHostAfterServices, RunDirectly) {
    DWORD const kAny = ~0u; // a refused CTRL+C: the default handler ends the process
    // The output's last line: start_console, add, again, start_service.
    // clang-format off
    struct Case { wchar_t const *args; DWORD exit; char const *output; } const cases[] = {
        {L"dispatch", 1, ""},
        {L"empty", 1, "1 0 0 0\n"},
        {L"refusestart", 1, "prepare_start console\n1 0 0 0\n"},
        {L"\"refusestop ctrlc\"", kAny, "prepare_start console\nstart 0\nprepare_stop 0\n"},
        {L"\"ctrlc exit=7\" one \"two words\"", 7, "prepare_start console\nstart 2 one two words\nprepare_stop 0\nstop\nend\n7 0 0 0\n"}};
    // clang-format on
    for (Case const &c : cases) {
        SCOPED_TRACE(narrow(c.args));
        ChildResult r = run_child(program_folder() + L"child_service.exe", c.args);
        EXPECT_TRUE(c.exit == kAny || c.exit == r.exit_code) << r.exit_code;
        r.output.erase(std::remove(r.output.begin(), r.output.end(), '\r'), r.output.end());
        EXPECT_EQ(c.output, r.output);
    }
}
