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

#include <cstring>
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

// Runs the child and returns the text of its debug record after "OS Info: ".
std::string run_osver(int &code) {
    ChildResult child =
        zem::vfs::test::run_child(zem::vfs::test::program_folder() + L"child_osver.exe");
    EXPECT_TRUE(child.finished);
    code = std::atoi(child.value("code", "-1").c_str());
    std::size_t at = child.output.find("OS Info: ");
    std::string record = at == std::string::npos ? "" : child.output.substr(at + 9);
    record = record.substr(0, record.find_first_of("\r\n")); // text-mode output
    std::string const pid = " PID=" + std::to_string(child.pid);
    if (record.size() < pid.size() || record.compare(record.size() - pid.size(), pid.size(), pid))
        ADD_FAILURE() << "no process id at the end: " << record;
    return record;
}

} // namespace

TEST(OsVersion, SingletonIsClassifiedOnce) {
    osver *first = osver::instance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(osver::instance(), first);
    // The test prefix reports Windows 7 (6.1, workstation).
    EXPECT_EQ(first->get(), 4);
}

TEST(OsVersion, Table) {
    // A Wine version name for the child, or the prefix's version, build and
    // product type; the record must start with `head` and hold `part`.
    struct Case {
        char const *wine, *version, *build, *product;
        int code;
        char const *head, *part;
    } const cases[] = {
        {"vista", 0, 0, 0, 2, "Ver=6.0.6002 Platform=2 CSD=Service Pack 2 SP=2.0 OS=2 PID=", ""},
        // Newer than 6.2: the true numbers come from the second query, whose
        // build number shows in the service-pack fields (with the high flags).
        {"win8", 0, 0, 0, 5, "Ver=6.2.9200 Platform=2 CSD= SP=9200.61440 OS=5 PID=", ""},
        {"win81", 0, 0, 0, 6, "Ver=6.3.9200 Platform=2 CSD= SP=9600.61440 OS=6 PID=", ""},
        {"win10", 0, 0, 0, 7, "Ver=10.0.9200 ", ""},
        {0, "5.1", "2600", "WinNT", 0, "Ver=5.1.2600 ", ""}, // XP, XP x64
        {0, "5.2", "3790", "WinNT", 0, "Ver=5.2.3790 ", ""},
        {0, "5.2", "3790", "ServerNT", 1, "Ver=5.2.3790 ", ""},
        {0, "6.0", "6002", "WinNT", 2, "Ver=6.0.6002 ", ""},
        {0, "6.0", "6002", "ServerNT", 3, "Ver=6.0.6002 ", ""},
        {0, "6.1", "7601", "ServerNT", 3, "Ver=6.1.7601 ", ""},
        {0, "6.1", "7601", "WinNT", 4, "Ver=6.1.7601 ", ""},
        // Major and minor of the second query, build number of the first.
        {0, "10.0", "19045", "WinNT", 7, "Ver=10.0.9200 ", " SP=19045.61440 OS=7 PID="},
        {0, "10.0", "22631", "WinNT", 8, "Ver=10.0.9200 ", " SP=22631.61440 OS=8 PID="},
        {0, "10.0", "22000", "WinNT", 8, "Ver=10.0.9200 ", " SP=22000.61440 OS=8 PID="},
        {0, "10.0", "21999", "WinNT", 7, "Ver=10.0.9200 ", " SP=21999.61440 OS=7 PID="},
    };
    SavedValue version(kCurrentVersion, "CurrentVersion");
    SavedValue build(kCurrentVersion, "CurrentBuildNumber");
    SavedValue product(kProductOptions, "ProductType");
    for (Case const &c : cases) {
        SCOPED_TRACE(std::string(c.wine ? c.wine : c.version) + " " + (c.build ? c.build : "") +
                     " " + (c.product ? c.product : ""));
        RegistryScope registry;
        if (c.wine)
            ASSERT_TRUE(
                registry.set(HKEY_CURRENT_USER, kAppDefaults, "Version", std::string(c.wine)));
        else
            ASSERT_TRUE(version.set(c.version) && build.set(c.build) && product.set(c.product));
        int code = -1;
        std::string const record = run_osver(code);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(record.compare(0, std::strlen(c.head), c.head), 0) << record;
        EXPECT_NE(record.find(c.part), std::string::npos) << record;
    }
}
