// A small program that hosts one WinService, for the service tests.
//
// Run by the service control manager (no arguments), the service is named
// after the executable (the tests copy this program as <service name>.exe)
// and reads its behaviour from the words of "<service name>.cfg" beside the
// executable:
//   slowstart    prepare_start reports SERVICE_START_PENDING with a wait hint
//                of 5000 ms and checkpoint 0, then holds the start back for
//                12 seconds
//   refusestop   prepare_stop refuses
//   laterstop    stop() returns false at once (the service stays
//                SERVICE_STOP_PENDING) and lets the body end 3.5 seconds later
//   exit=<n>     the body returns n
// and appends what happens, one line each, to "<service name>.log" beside
// the executable ("prepare_start", "start <argc>", "prepare_stop <code>",
// "stop", "shutdown", "event <code>", "end").
//
// Run directly, the first argument selects a test of the host:
//   dispatch            start_service from a process the service control
//                       manager did not start; prints "start_service=<n>"
//   console [args...]   runs the service in the console; the body prints
//                       "start <argc> <args...>" and waits for a console
//                       event, which prints "prepare_stop <event>", "stop";
//                       the exit code is the body's result, 7
//   console-self        as console, but the program sends itself CTRL_C_EVENT
//   console-empty       start_console without a service
//   console-refuse      start_console with a service whose prepare_start
//                       refuses
//   install [display [description]]
//                       installs itself through WinServiceCtrl under its own
//                       name, twice; prints "install=<0|1>", "error=<message>",
//                       "again=<0|1>", "error_again=<message>"
// After start_console returns, the program prints "start_console=<n>",
// "add_after=<0|1>", "console_again=<n>" and "service_after=<n>".
#include "service/WinService.h"
#include "service/WinServiceCtrl.h"
#include "service/WinServiceManager.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

using zem::vfs::WinService;
using zem::vfs::WinServiceCtrl;
using zem::vfs::WinServiceManager;

namespace {

HANDLE g_log = INVALID_HANDLE_VALUE;
// Set once a body runs.
HANDLE g_started = CreateEventW(nullptr, TRUE, FALSE, nullptr);

void say(std::string const &line) {
    std::string text = line + "\n";
    DWORD n = 0;
    if (g_log != INVALID_HANDLE_VALUE) {
        WriteFile(g_log, text.data(), DWORD(text.size()), &n, nullptr);
        FlushFileBuffers(g_log);
    } else {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
}

std::string narrow(wchar_t const *text) {
    std::string out;
    for (; text && *text; ++text)
        out += *text < 128 ? char(*text) : '?';
    return out;
}

struct Options {
    bool slow_start = false;
    bool refuse_stop = false;
    bool later_stop = false;
    bool refuse_start = false;
    int exit_code = 0;
};

DWORD WINAPI later_stop(LPVOID event) {
    Sleep(3500);
    SetEvent(static_cast<HANDLE>(event));
    return 0;
}

class TestService : public WinService {
public:
    TestService(wchar_t const *name, Options const &options)
        : WinService(name), options_(options), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~TestService() override {
        CloseHandle(stop_);
        CloseHandle(done_);
    }

    bool prepare_start(SERVICE_STATUS_HANDLE handle) override {
        if (!WinService::prepare_start(handle))
            return false;
        say(std::string("prepare_start ") + (console() ? "console" : "service"));
        if (options_.refuse_start)
            return false;
        if (options_.slow_start) {
            set_status(SERVICE_START_PENDING, 0, 0, 0, 5000);
            Sleep(12000);
        }
        return true;
    }

    int start(int argc, wchar_t **argv) override {
        std::string line = "start " + std::to_string(argc);
        for (int i = 0; i < argc; ++i)
            line += " " + narrow(argv[i]);
        say(line);
        SetEvent(g_started);
        WaitForSingleObject(stop_, INFINITE);
        say("end");
        SetEvent(done_);
        return options_.exit_code;
    }

    bool prepare_stop(unsigned long control) override {
        say("prepare_stop " + std::to_string(control));
        return !options_.refuse_stop;
    }

    bool stop() override {
        say("stop");
        if (options_.later_stop) {
            CloseHandle(CreateThread(nullptr, 0, later_stop, stop_, 0, nullptr));
            return false;
        }
        SetEvent(stop_);
        // The body ends before the service is reported stopped.
        return WaitForSingleObject(done_, 10000) == WAIT_OBJECT_0;
    }

    bool on_shutdown() override {
        say("shutdown");
        return true;
    }

    bool on_event(unsigned long control) override {
        say("event " + std::to_string(control));
        return true;
    }

private:
    Options options_;
    HANDLE stop_;
    HANDLE done_;
};

std::wstring module_path() {
    std::vector<wchar_t> path(32768);
    DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    return std::wstring(path.data(), n);
}

// Folder (with backslash) and base name of the executable.
void split(std::wstring const &path, std::wstring &folder, std::wstring &base) {
    std::size_t slash = path.find_last_of(L"\\/");
    folder = path.substr(0, slash + 1);
    base = path.substr(slash + 1);
    std::size_t dot = base.rfind(L'.');
    if (dot != std::wstring::npos)
        base.resize(dot);
}

Options read_options(std::wstring const &file) {
    Options options;
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return options;
    char buffer[512] = {};
    DWORD n = 0;
    ReadFile(h, buffer, sizeof buffer - 1, &n, nullptr);
    CloseHandle(h);
    std::string text(buffer, n);
    options.slow_start = text.find("slowstart") != std::string::npos;
    options.refuse_stop = text.find("refusestop") != std::string::npos;
    options.later_stop = text.find("laterstop") != std::string::npos;
    std::size_t at = text.find("exit=");
    if (at != std::string::npos)
        options.exit_code = std::atoi(text.c_str() + at + 5);
    return options;
}

int run_service() {
    std::wstring folder, base;
    split(module_path(), folder, base);
    g_log = CreateFileW((folder + base + L".log").c_str(), FILE_APPEND_DATA,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, 0, nullptr);
    TestService service(base.c_str(), read_options(folder + base + L".cfg"));
    WinServiceManager *manager = WinServiceManager::instance();
    if (!manager->add(&service))
        return 3;
    int result = manager->start_service();
    say("start_service " + std::to_string(result));
    return result;
}

DWORD WINAPI interrupt_self(LPVOID) {
    WaitForSingleObject(g_started, INFINITE);
    Sleep(200);
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    return 0;
}

int run_console(std::wstring const &mode, int argc, wchar_t **argv) {
    WinServiceManager *manager = WinServiceManager::instance();
    Options options;
    options.exit_code = 7;
    options.refuse_start = mode == L"console-refuse";
    TestService service(L"zem console service", options);
    if (mode != L"console-empty")
        manager->add(&service);
    // A child of a new process group starts with CTRL+C ignored.
    SetConsoleCtrlHandler(nullptr, FALSE);
    if (mode == L"console-self") {
        // A console of its own, so that the interrupt reaches no other
        // process (and the process has one at all under Wine).
        FreeConsole();
        AllocConsole();
        CloseHandle(CreateThread(nullptr, 0, interrupt_self, nullptr, 0, nullptr));
    }
    int result = manager->start_console(argc, argv);
    say("start_console=" + std::to_string(result));
    TestService late(L"zem late service", Options());
    say(std::string("add_after=") + (manager->add(&late) ? "1" : "0"));
    say("console_again=" + std::to_string(manager->start_console(argc, argv)));
    say("service_after=" + std::to_string(manager->start_service()));
    return result;
}

int run_install(int argc, wchar_t **argv) {
    std::wstring folder, base;
    split(module_path(), folder, base);
    WinServiceCtrl ctrl(base.c_str());
    wchar_t const *display = argc > 2 ? argv[2] : nullptr;
    wchar_t *description = argc > 3 ? argv[3] : nullptr;
    bool first = ctrl.install(display, description);
    say(std::string("install=") + (first ? "1" : "0"));
    say(std::string("error=") + ctrl.error());
    bool again = ctrl.install(display, description);
    say(std::string("again=") + (again ? "1" : "0"));
    say(std::string("error_again=") + ctrl.error());
    return first ? 0 : 1;
}

} // namespace

int main() {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        return 2;
    int result = 0;
    if (argc < 2) {
        result = run_service();
    } else if (std::wcscmp(argv[1], L"dispatch") == 0) {
        TestService service(L"zem direct service", Options());
        WinServiceManager::instance()->add(&service);
        result = WinServiceManager::instance()->start_service();
        say("start_service=" + std::to_string(result));
    } else if (std::wcscmp(argv[1], L"install") == 0) {
        result = run_install(argc, argv);
    } else if (std::wcsncmp(argv[1], L"console", 7) == 0) {
        // The body gets the arguments after the mode, unchanged.
        result = run_console(argv[1], argc - 2, argv + 2);
    } else {
        result = 2;
    }
    LocalFree(argv);
    return result;
}
