// Wine reports the version named under HKCU\Software\Wine\AppDefaults\<exe>,
// or the prefix's registry values (Wine 8 mixes up the product types of its
// named "win7" and "win2008r2"); like Windows, 6.2 to anything newer.
#include "sys/OsVersion.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

using namespace zem::vfs::test;

namespace {

// Sets the version, build and product type of the whole prefix.
bool set_prefix(std::string const &version, std::string const &build, std::string const &type) {
    auto set = [](char const *key, char const *name, std::string const &text) {
        return RegSetKeyValueA(HKEY_LOCAL_MACHINE, key, name, REG_SZ, text.c_str(),
                               DWORD(text.size() + 1)) == ERROR_SUCCESS;
    };
    char const *const current = "Software\\Microsoft\\Windows NT\\CurrentVersion";
    return set(current, "CurrentVersion", version) && set(current, "CurrentBuildNumber", build) &&
           set("System\\CurrentControlSet\\Control\\ProductOptions", "ProductType", type);
}

} // namespace

TEST(OsVersion, Table) {
    // The test prefix reports Windows 7 (6.1, workstation).
    ASSERT_NE(zem::vfs::osver::instance(), nullptr);
    EXPECT_EQ(zem::vfs::osver::instance()->get(), 4);
    struct Case {
        char const *wine, *version, *build, *product;
        int code;
        char const *head, *part;
    } const cases[] = {
        {"vista", 0, 0, 0, 2, "Ver=6.0.6002 Platform=2 CSD=Service Pack 2 SP=2.0 OS=2 PID=", ""},
        // Newer than 6.2: the second query's build shows in the SP fields.
        {"win8", 0, 0, 0, 5, "Ver=6.2.9200 Platform=2 CSD= SP=9200.61440 OS=5 PID=", ""},
        {"win81", 0, 0, 0, 6, "Ver=6.3.9200 Platform=2 CSD= SP=9600.61440 OS=6 PID=", ""},
        {"win10", 0, 0, 0, 7, "Ver=10.0.9200 ", ""},
        {0, "5.1", "2600", "WinNT", 0, "Ver=5.1.2600 ", ""}, // XP, XP x64
        {0, "5.2", "3790", "WinNT", 0, "Ver=5.2.3790 ", ""},
        {0, "5.2", "3790", "ServerNT", 1, "Ver=5.2.3790 ", ""},
        {0, "6.0", "6002", "ServerNT", 3, "Ver=6.0.6002 ", ""},
        {0, "6.1", "7601", "ServerNT", 3, "Ver=6.1.7601 ", ""},
        {0, "6.1", "7601", "WinNT", 4, "Ver=6.1.7601 ", ""},
        // Major and minor of the second query, build number of the first.
        {0, "10.0", "19045", "WinNT", 7, "Ver=10.0.9200 ", " SP=19045.61440 OS=7 PID="},
        {0, "10.0", "22000", "WinNT", 8, "Ver=10.0.9200 ", " SP=22000.61440 OS=8 PID="},
        {0, "10.0", "21999", "WinNT", 7, "Ver=10.0.9200 ", " SP=21999.61440 OS=7 PID="},
    };
    for (Case const &c : cases) {
        SCOPED_TRACE(c.wine ? c.wine : std::string(c.version) + " " + c.build + " " + c.product);
        RegistryScope registry;
        EXPECT_TRUE(c.wine ? registry.set(HKEY_CURRENT_USER,
                                          "Software\\Wine\\AppDefaults\\child_sys.exe", "Version",
                                          std::string(c.wine))
                           : set_prefix(c.version, c.build, c.product));
        ChildResult child = run_child(program_folder() + L"child_sys.exe", L"osver");
        std::size_t at = child.output.find("OS Info: ");
        std::string const record =
            at == std::string::npos
                ? ""
                : child.output.substr(at + 9, child.output.find_first_of("\r\n", at) - at - 9);
        EXPECT_EQ(child.value("code"), std::to_string(c.code)) << child.output;
        EXPECT_EQ(record.compare(0, std::strlen(c.head), c.head), 0) << record;
        EXPECT_NE(record.find(c.part), std::string::npos) << record;
        std::string const pid = " PID=" + std::to_string(child.pid);
        EXPECT_EQ(record.substr(record.size() - std::min(record.size(), pid.size())), pid);
    }
    EXPECT_TRUE(set_prefix("6.1", "7601", "WinNT")); // as the prefix was made
}
