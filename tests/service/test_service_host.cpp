// The service host: the table of WinServiceManager, the defaults of
// WinService, and the host run directly (dispatcher refused, console mode
// with its console control handler) through child_service.exe.
#include "service/WinService.h"
#include "service/WinServiceManager.h"

#include "service/ServiceSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

class PlainService : public WinService {
public:
    explicit PlainService(wchar_t const *name) : WinService(name) {}
    bool stop() override { return true; }
    int start(int, wchar_t **) override { return 0; }
};

std::wstring child_program() {
    return program_folder() + L"child_service.exe";
}

bool has_line(std::string const &output, std::string const &line) {
    return ("\n" + output).find("\n" + line + "\n") != std::string::npos ||
           ("\n" + output).find("\n" + line + "\r\n") != std::string::npos;
}

} // namespace

TEST(WinServiceTest, NameIsCopiedWholeOrRefused) {
    std::wstring name(255, L'n');
    PlainService longest(name.c_str());
    EXPECT_EQ(name, longest.name());

    // One character more would not fit the service table's name field: the
    // name is refused, not cut to the 255 characters of another service.
    std::wstring too_long(256, L'n');
    PlainService refused(too_long.c_str());
    EXPECT_STREQ(L"", refused.name());

    PlainService none(nullptr);
    EXPECT_STREQ(L"", none.name());

    wchar_t buffer[] = L"copied";
    PlainService copied(buffer);
    buffer[0] = L'X';
    EXPECT_STREQ(L"copied", copied.name());
}

TEST(WinServiceTest, DefaultsWithoutStatusHandle) {
    PlainService service(L"defaults");
    EXPECT_TRUE(service.console());
    EXPECT_FALSE(service.set_status(SERVICE_RUNNING, 0, 0, 0, 1000));
    EXPECT_TRUE(service.prepare_stop(SERVICE_CONTROL_STOP));
    EXPECT_TRUE(service.on_shutdown());
    EXPECT_TRUE(service.on_event(128));
    // The console: a null handle is stored and the service stays in console
    // mode; preparing again is allowed since nothing is stored.
    EXPECT_TRUE(service.prepare_start(nullptr));
    EXPECT_TRUE(service.console());
    EXPECT_TRUE(service.prepare_start(nullptr));
}

TEST(WinServiceTest, SecondStatusHandleIsRefused) {
    PlainService service(L"handle");
    SERVICE_STATUS_HANDLE fake = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234);
    EXPECT_TRUE(service.prepare_start(fake));
    EXPECT_FALSE(service.console());
    EXPECT_FALSE(service.prepare_start(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5678)));
}

// The manager is one per process: every case about its table is here, and no
// other test of this program registers services.
TEST(WinServiceManagerTest, TableOfTenSlots) {
    WinServiceManager *manager = WinServiceManager::instance();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(manager, WinServiceManager::instance());
    EXPECT_EQ(nullptr, manager->get(0));

    // Services of the table live as long as the process.
    static std::vector<std::unique_ptr<PlainService>> services;
    for (int i = 0; i < 11; ++i)
        services.emplace_back(new PlainService((L"service " + std::to_wstring(i)).c_str()));
    static PlainService nameless(nullptr);
    static PlainService duplicate(L"service 0");
    static PlainService other_case(L"SERVICE 0");

    EXPECT_FALSE(manager->add(nullptr));
    EXPECT_FALSE(manager->add(&nameless));
    EXPECT_TRUE(manager->add(services[0].get()));
    EXPECT_FALSE(manager->add(&duplicate));
    EXPECT_FALSE(manager->add(services[0].get()));
    // Names compare case-sensitively.
    EXPECT_TRUE(manager->add(&other_case));
    for (int i = 1; i < 9; ++i)
        EXPECT_TRUE(manager->add(services[i].get())) << i;
    EXPECT_FALSE(manager->add(services[9].get()));
    EXPECT_FALSE(manager->add(services[10].get()));

    EXPECT_EQ(services[0].get(), manager->get(0));
    EXPECT_EQ(&other_case, manager->get(1));
    EXPECT_EQ(services[8].get(), manager->get(9));
    EXPECT_EQ(nullptr, manager->get(10));
    EXPECT_EQ(nullptr, manager->get(-1));
    EXPECT_EQ(services[5].get(), manager->get(L"service 5"));
    EXPECT_EQ(&other_case, manager->get(L"SERVICE 0"));
    EXPECT_EQ(nullptr, manager->get(L"service 9"));
    EXPECT_EQ(nullptr, manager->get(L"Service 5"));
    EXPECT_EQ(nullptr, manager->get(static_cast<wchar_t const *>(nullptr)));
}

TEST(ServiceHostTest, DispatcherRefusedOutsideServiceControlManager) {
    ChildResult child = run_child(child_program(), L"dispatch");
    ASSERT_TRUE(child.finished) << child.output;
    EXPECT_TRUE(has_line(child.output, "start_service=1")) << child.output;
    EXPECT_EQ(1u, child.exit_code);
}

TEST(ServiceHostTest, ConsoleWithoutService) {
    ChildResult child = run_child(child_program(), L"console-empty");
    ASSERT_TRUE(child.finished) << child.output;
    EXPECT_EQ(1u, child.exit_code);
    EXPECT_TRUE(has_line(child.output, "start_console=1")) << child.output;
    // Started all the same: later calls refuse.
    EXPECT_TRUE(has_line(child.output, "add_after=0")) << child.output;
    EXPECT_TRUE(has_line(child.output, "console_again=0")) << child.output;
    EXPECT_TRUE(has_line(child.output, "service_after=0")) << child.output;
}

TEST(ServiceHostTest, ConsoleServiceRefusingToStart) {
    ChildResult child = run_child(child_program(), L"console-refuse");
    ASSERT_TRUE(child.finished) << child.output;
    EXPECT_EQ(1u, child.exit_code);
    EXPECT_TRUE(has_line(child.output, "prepare_start console")) << child.output;
    EXPECT_EQ(std::string::npos, child.output.find("start 0")) << child.output;
    EXPECT_TRUE(has_line(child.output, "start_console=1")) << child.output;
    EXPECT_TRUE(has_line(child.output, "add_after=0")) << child.output;
}

TEST(ServiceHostTest, ConsoleInterruptStopsFirstService) {
    // The program interrupts itself (CTRL_C_EVENT to its own console): the
    // handler asks prepare_stop with event 0, then stop(), and the body's
    // result is start_console's.
    ChildResult child = run_child(child_program(), L"console-self one \"two words\"");
    ASSERT_TRUE(child.finished) << child.output;
    EXPECT_EQ(7u, child.exit_code) << child.output;
    EXPECT_TRUE(has_line(child.output, "prepare_start console")) << child.output;
    EXPECT_TRUE(has_line(child.output, "start 2 one two words")) << child.output;
    EXPECT_TRUE(has_line(child.output, "prepare_stop 0")) << child.output;
    EXPECT_TRUE(has_line(child.output, "stop")) << child.output;
    EXPECT_TRUE(has_line(child.output, "start_console=7")) << child.output;
    EXPECT_TRUE(has_line(child.output, "console_again=0")) << child.output;
}

TEST(ServiceHostTest, ConsoleEventFromAnotherProcess) {
    // A console shared with a child of a new process group. Windows delivers
    // CTRL_BREAK_EVENT to a group; Wine refuses it and delivers CTRL_C_EVENT.
    bool had_console = GetConsoleWindow() != nullptr;
    if (!had_console) {
        FreeConsole();
        ASSERT_TRUE(AllocConsole());
    }
    DWORD sent = 0xFFFFFFFF;
    ChildResult child = run_child(
        child_program(), L"console", CREATE_NEW_PROCESS_GROUP,
        [&](DWORD pid, HANDLE) {
            // The body is running once it has printed its line; give it time.
            Sleep(1500);
            if (GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pid))
                sent = CTRL_BREAK_EVENT;
            else if (GenerateConsoleCtrlEvent(CTRL_C_EVENT, pid))
                sent = CTRL_C_EVENT;
        },
        20000);
    if (!had_console)
        FreeConsole();
    ASSERT_NE(0xFFFFFFFFu, sent) << "no console event could be sent";
    ASSERT_TRUE(child.finished) << child.output;
    EXPECT_EQ(7u, child.exit_code) << child.output;
    EXPECT_TRUE(has_line(child.output, "start 0")) << child.output;
    EXPECT_TRUE(has_line(child.output, "prepare_stop " + std::to_string(sent))) << child.output;
    EXPECT_TRUE(has_line(child.output, "stop")) << child.output;
    EXPECT_TRUE(has_line(child.output, "start_console=7")) << child.output;
}
