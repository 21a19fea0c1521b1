// Hosts one WinService named after the executable. Run by the SCM it logs to "<name>.log" and
// reads "<name>.cfg"; run directly, the first argument holds the words: install [display
// [description]], dispatch, or a console run (empty: no service added, ctrlc: a CTRL+C).
#include "service/WinService.h"
#include "service/WinServiceCtrl.h"
#include "service/WinServiceManager.h"
#include "../support/ChildProcess.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>

using namespace zem::vfs;

namespace {

FILE *g_out = stdout;
std::string g_cfg;
HANDLE g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
HANDLE g_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);

void say(std::string const &line) {
    std::fprintf(g_out, "%s\n", line.c_str());
    std::fflush(g_out);
}

bool has(char const *word) {
    return g_cfg.find(word) != std::string::npos;
}

// laterstop: the body ends 300 ms later; backtorun: running again 1.5 s later.
DWORD WINAPI stop_later(void *service) {
    Sleep(has("laterstop") ? 300 : 1500);
    return has("laterstop")
               ? SetEvent(g_stop)
               : static_cast<WinService *>(service)->set_status(SERVICE_RUNNING, 0, 0, 0, 1000);
}

class Service : public WinService {
public:
    explicit Service(wchar_t const *name) : WinService(name) {}
    bool prepare_start(SERVICE_STATUS_HANDLE handle) override {
        bool const first = WinService::prepare_start(handle);
        say(std::string("prepare_start ") + (console() ? "console" : "service"));
        if (has("slowstart")) {
            set_status(SERVICE_START_PENDING, 0, 0, 0, 500);
            Sleep(1200);
        }
        return first && !has("refusestart");
    }
    int start(int argc, wchar_t **argv) override {
        std::string line = "start " + std::to_string(argc);
        for (int i = 0; i < argc; ++i)
            line += " " + test::narrow(argv[i]);
        say(line);
        if (has("ctrlc")) // heard by this process alone, on a thread of the console's
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        WaitForSingleObject(g_stop, INFINITE);
        say("end");
        SetEvent(g_done);
        std::size_t at = g_cfg.find("exit=");
        return at == std::string::npos ? 0 : std::stoi(g_cfg.substr(at + 5));
    }
    bool prepare_stop(unsigned long control) override {
        say("prepare_stop " + std::to_string(control));
        return !has("refusestop");
    }
    bool stop() override {
        say("stop");
        if (has("laterstop") || has("backtorun")) { // refused now, finished later
            CloseHandle(CreateThread(nullptr, 0, stop_later, this, 0, nullptr));
            return false;
        }
        SetEvent(g_stop);
        return WaitForSingleObject(g_done, 10000) == WAIT_OBJECT_0; // the body has ended
    }
    bool on_event(unsigned long control) override {
        say("event " + std::to_string(control));
        return true;
    }
};

} // namespace

int main() {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring path = argv[0], mode = argc > 1 ? argv[1] : L"";
    std::wstring const base = path.substr(0, path.rfind(L'.'));
    std::wstring const name = base.substr(base.find_last_of(L"\\/") + 1);
    WinServiceManager *manager = WinServiceManager::instance();
    if (mode.empty()) { // run by the service control manager
        g_out = _wfopen((base + L".log").c_str(), L"ab");
        g_cfg = test::read_file(base + L".cfg");
    }
    g_cfg.append(mode.begin(), mode.end()); // run directly, the words come first
    if (has("install"))
        return !WinServiceCtrl(name.c_str())
                    .install(argc > 2 ? argv[2] : nullptr, argc > 3 ? argv[3] : nullptr);
    Service service(name.c_str());
    if (!has("empty"))
        manager->add(&service);
    if (mode.empty() || has("dispatch"))
        return manager->start_service();
    SetConsoleCtrlHandler(nullptr, FALSE); // a new process group starts with CTRL+C ignored
    if (has("ctrlc")) {
        FreeConsole(); // a console of its own, which only this process hears
        AllocConsole();
    }
    int result = manager->start_console(argc - 2, argv + 2);
    Service late(L"zem late");
    int const added = manager->add(&late), again = manager->start_console(0, nullptr),
              hosted = manager->start_service(); // in this order
    std::printf("%d %d %d %d\n", result, added, again, hosted);
    return result;
}
