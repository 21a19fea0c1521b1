// Version classification. Wine reports the Windows version its prefix is
// told to: per program through HKCU\Software\Wine\AppDefaults\<exe>\Version
// ("win10", "vista", ...), or for the whole prefix through the version values
// under HKLM\Software\Microsoft\Windows NT\CurrentVersion and the product
// type under HKLM\System\CurrentControlSet\Control\ProductOptions. (Wine 8's
// named "win7" and "win2008r2" report each other's product type, so the
// product-type cases go through the registry.) Like Windows, it
// reports 6.2 to an unmanifested program on anything newer, so the true
// numbers come from the second query. child_osver.exe prints its code and
// its debug record; every registry change is undone afterwards.
#include "../../common/sys/OsVersion.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

using zem::vfs::osver;
using zem::vfs::test::ChildResult;
using zem::vfs::test::RegistryScope;

namespace {

std::string const kAppDefaults = "Software\\Wine\\AppDefaults\\child_osver.exe";
char const kCurrentVersion[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";
char const kProductOptions[] = "System\\CurrentControlSet\\Control\\ProductOptions";

// A text value of HKEY_LOCAL_MACHINE written back (or deleted, when it did
// not exist) when the object ends.
class SavedValue {
public:
    SavedValue(char const *key, char const *name) : key_(key), name_(name) {
        char text[256];
        DWORD size = sizeof text;
        existed_ = RegGetValueA(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, text,
                                &size) == ERROR_SUCCESS;
        if (existed_)
            saved_ = text;
    }
    ~SavedValue() {
        if (existed_)
            set(saved_);
        else
            RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, key_.c_str(), name_.c_str());
    }
    SavedValue(SavedValue const &) = delete;
    SavedValue &operator=(SavedValue const &) = delete;

    bool set(std::string const &text) {
        return RegSetKeyValueA(HKEY_LOCAL_MACHINE, key_.c_str(), name_.c_str(), REG_SZ,
                               text.c_str(), DWORD(text.size() + 1)) == ERROR_SUCCESS;
    }

private:
    std::string key_, name_, saved_;
    bool existed_;
};

struct Report {
    int code = -1;
    std::string record; // the text after "OS Info: "
    DWORD pid = 0;
};

Report run_osver() {
    ChildResult child =
        zem::vfs::test::run_child(zem::vfs::test::program_folder() + L"child_osver.exe");
    Report report;
    EXPECT_TRUE(child.finished);
    report.code = std::atoi(child.value("code", "-1").c_str());
    report.pid = child.pid;
    std::size_t at = child.output.find("OS Info: ");
    if (at != std::string::npos) {
        std::size_t end = child.output.find('\n', at);
        report.record = child.output.substr(at + 9, end - at - 9);
        if (!report.record.empty() && report.record.back() == '\r')
            report.record.pop_back(); // standard output is in text mode
    }
    return report;
}

// Runs the child with Wine told to report `version` to it.
Report run_as(char const *version) {
    RegistryScope registry;
    EXPECT_TRUE(registry.set(HKEY_CURRENT_USER, kAppDefaults, "Version", std::string(version)));
    return run_osver();
}

std::string pid_tail(Report const &report) {
    return " PID=" + std::to_string(report.pid);
}

} // namespace

TEST(OsVersion, SingletonIsClassifiedOnce) {
    osver *first = osver::instance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(osver::instance(), first);
    // The test prefix reports Windows 7 (6.1, workstation).
    EXPECT_EQ(first->get(), 4);
}

TEST(OsVersion, NamedOlderVersion) {
    Report vista = run_as("vista");
    EXPECT_EQ(vista.code, 2);
    EXPECT_EQ(vista.record,
              "Ver=6.0.6002 Platform=2 CSD=Service Pack 2 SP=2.0 OS=2" + pid_tail(vista));
}

TEST(OsVersion, OlderVersionsByProductType) {
    SavedValue version(kCurrentVersion, "CurrentVersion");
    SavedValue build(kCurrentVersion, "CurrentBuildNumber");
    SavedValue product(kProductOptions, "ProductType");
    struct Case {
        char const *version;
        char const *build;
        char const *product;
        int code;
    } const cases[] = {
        {"5.1", "2600", "WinNT", 0},    {"5.2", "3790", "WinNT", 0}, // XP, XP x64
        {"5.2", "3790", "ServerNT", 1}, {"6.0", "6002", "WinNT", 2}, {"6.0", "6002", "ServerNT", 3},
        {"6.1", "7601", "ServerNT", 3}, {"6.1", "7601", "WinNT", 4},
    };
    for (Case const &c : cases) {
        ASSERT_TRUE(version.set(c.version));
        ASSERT_TRUE(build.set(c.build));
        ASSERT_TRUE(product.set(c.product));
        Report report = run_osver();
        EXPECT_EQ(report.code, c.code) << c.version << " " << c.product;
        // Described whether recognised or not.
        std::string const head = std::string("Ver=") + c.version + "." + c.build + " ";
        EXPECT_EQ(report.record.compare(0, head.size(), head), 0) << report.record;
    }
}

TEST(OsVersion, NewerVersionsFromTheSecondQuery) {
    // The first query says 6.2.9200; the second gives the true numbers, whose
    // build number shows in the service-pack fields (with the high flags).
    Report win8 = run_as("win8");
    EXPECT_EQ(win8.code, 5);
    EXPECT_EQ(win8.record, "Ver=6.2.9200 Platform=2 CSD= SP=9200.61440 OS=5" + pid_tail(win8));
    Report win81 = run_as("win81");
    EXPECT_EQ(win81.code, 6);
    EXPECT_EQ(win81.record, "Ver=6.3.9200 Platform=2 CSD= SP=9600.61440 OS=6" + pid_tail(win81));
    Report win10 = run_as("win10");
    EXPECT_EQ(win10.code, 7);
    EXPECT_EQ(win10.record.compare(0, 13, "Ver=10.0.9200"), 0) << win10.record;
}

TEST(OsVersion, WindowsTenAndElevenByBuildNumber) {
    SavedValue version(kCurrentVersion, "CurrentVersion");
    SavedValue build(kCurrentVersion, "CurrentBuildNumber");
    ASSERT_TRUE(version.set("10.0"));

    ASSERT_TRUE(build.set("19045"));
    Report ten = run_osver();
    EXPECT_EQ(ten.code, 7);
    // Major and minor of the second query, build number of the first.
    EXPECT_EQ(ten.record.compare(0, 14, "Ver=10.0.9200 "), 0) << ten.record;
    EXPECT_NE(ten.record.find(" SP=19045.61440 OS=7" + pid_tail(ten)), std::string::npos)
        << ten.record;

    ASSERT_TRUE(build.set("22631"));
    Report eleven = run_osver();
    EXPECT_EQ(eleven.code, 8);
    EXPECT_NE(eleven.record.find(" SP=22631.61440 OS=8"), std::string::npos) << eleven.record;

    ASSERT_TRUE(build.set("22000"));
    EXPECT_EQ(run_osver().code, 8);
    ASSERT_TRUE(build.set("21999"));
    EXPECT_EQ(run_osver().code, 7);
}
