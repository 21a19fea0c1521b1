// ProcessConfig over a scratch subkey of HKEY_CURRENT_USER (and once of
// HKEY_LOCAL_MACHINE): value types and conversions, hostile values written
// behind its back, keys that cannot be opened, and the program's own subkey.
#include "../../common/policy/ProcessConfig.h"

#include "log/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

using zem::vfs::ProcessConfig;
using zem::vfs::uint64;
using zem::vfs::test::ChildResult;
using zem::vfs::test::RegistryScope;

namespace {

std::string const kRoot = "Software\\Tavrin Labs\\Quillon";

// A fresh subkey of the product key for one test, removed with its content.
class ProcessConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = "zem_config_test_" + std::to_string(GetCurrentProcessId());
        path_ = kRoot + "\\" + name_;
        ASSERT_TRUE(registry_.create(HKEY_CURRENT_USER, path_));
    }

    // Writes a value of any type and size, as another program might.
    void raw(char const *name, DWORD type, void const *data, DWORD size) {
        ASSERT_TRUE(registry_.set(HKEY_CURRENT_USER, path_, name, type, data, size));
    }

    RegistryScope registry_;
    std::string name_;
    std::string path_;
};

} // namespace

TEST(ProcessConfigRoot, UnknownRootOpensNothing) {
    for (int root : {2, -1, 100}) {
        ProcessConfig config(root, "", true);
        int n = 5;
        std::string s = "kept";
        char buffer[8];
        EXPECT_FALSE(config.has_key("x"));
        EXPECT_FALSE(config.get_int("x", n));
        EXPECT_FALSE(config.get_string("x", s));
        EXPECT_EQ(config.get_data("x", buffer, sizeof buffer), 0u);
        EXPECT_FALSE(config.set_int("x", 1));
        EXPECT_FALSE(config.set_string("x", "v"));
        EXPECT_FALSE(config.set_data("x", "v", 1));
        EXPECT_FALSE(config.delete_key("x"));
        EXPECT_EQ(n, 5);
        EXPECT_EQ(s, "kept");
    }
}

TEST_F(ProcessConfigTest, RoundTripsOfEachType) {
    ProcessConfig config(1, name_.c_str(), false);
    EXPECT_TRUE(config.set_int("Int", -42));
    EXPECT_TRUE(config.set_string("Text", "Quillon \xE9t\xE9"));
    unsigned char const blob[] = {0, 1, 2, 0xFF, 0};
    EXPECT_TRUE(config.set_data("Blob", blob, sizeof blob));
    EXPECT_TRUE(config.set_data("Empty", nullptr, 0));

    int n = 0;
    EXPECT_TRUE(config.get_int("Int", n));
    EXPECT_EQ(n, -42);
    std::string s;
    EXPECT_TRUE(config.get_string("Text", s));
    EXPECT_EQ(s, "Quillon \xE9t\xE9");
    unsigned char back[16] = {};
    EXPECT_EQ(config.get_data("Blob", back, sizeof back), sizeof blob);
    EXPECT_EQ(std::memcmp(back, blob, sizeof blob), 0);
    EXPECT_TRUE(config.has_key("Empty"));
    for (char const *name : {"Int", "Text", "Blob"})
        EXPECT_TRUE(config.has_key(name)) << name;
    EXPECT_FALSE(config.has_key("Missing"));

    // A second object on the same key sees the values.
    ProcessConfig again(1, name_.c_str(), false);
    EXPECT_TRUE(again.get_string("Text", s));
    EXPECT_EQ(s, "Quillon \xE9t\xE9");
}

TEST_F(ProcessConfigTest, IntFromText) {
    ProcessConfig config(1, name_.c_str(), false);
    struct Case {
        char const *text;
        bool ok;
        int value;
    } const cases[] = {
        {"42", true, 42},
        {"-7", true, -7},
        {"  12", true, 12},
        {"2147483647", true, 2147483647},
        {"42x", false, 0},
        {"", false, 0},
        {"12 ", false, 0},
        {"0x10", false, 0},
        {"99999999999", false, 0}, // does not fit an int
        {"1111111111111111111111111111111111111111", false, 0},
    };
    for (Case const &c : cases) {
        ASSERT_TRUE(config.set_string("N", c.text));
        int n = 1234;
        EXPECT_EQ(config.get_int("N", n), c.ok) << "'" << c.text << "'";
        EXPECT_EQ(n, c.ok ? c.value : 1234) << "'" << c.text << "'";
    }
}

TEST_F(ProcessConfigTest, IntFromHostileValues) {
    ProcessConfig config(1, name_.c_str(), false);
    int n = 1234;
    // A text without its terminator is still read whole.
    raw("Bare", REG_SZ, "42", 2);
    EXPECT_TRUE(config.get_int("Bare", n));
    EXPECT_EQ(n, 42);
    n = 1234;
    // 29 digits fit, 30 do not (with or without a terminator).
    std::string digits29 = std::string(28, '0') + "9";
    raw("D29", REG_SZ, digits29.c_str(), 30);
    EXPECT_TRUE(config.get_int("D29", n));
    EXPECT_EQ(n, 9);
    n = 1234;
    std::string digits30 = std::string(29, '0') + "9";
    raw("D30", REG_SZ, digits30.c_str(), 30);
    EXPECT_FALSE(config.get_int("D30", n));
    raw("D30z", REG_SZ, digits30.c_str(), 31);
    EXPECT_FALSE(config.get_int("D30z", n));
    // DWORDs of the wrong size and other types.
    raw("Short", REG_DWORD, "\x07\x00", 2);
    EXPECT_FALSE(config.get_int("Short", n));
    raw("Long", REG_DWORD, "\x07\0\0\0\0\0\0\0", 8);
    EXPECT_FALSE(config.get_int("Long", n));
    raw("Quad", REG_QWORD, "\x07\0\0\0\0\0\0\0", 8);
    EXPECT_FALSE(config.get_int("Quad", n));
    raw("Binary", REG_BINARY, "\x07\0\0\0", 4);
    EXPECT_FALSE(config.get_int("Binary", n));
    raw("Expand", REG_EXPAND_SZ, "7", 2);
    EXPECT_FALSE(config.get_int("Expand", n));
    std::string huge(100000, '1');
    raw("Huge", REG_SZ, huge.c_str(), DWORD(huge.size()));
    EXPECT_FALSE(config.get_int("Huge", n));
    EXPECT_EQ(n, 1234);
    DWORD all = 0xFFFFFFFF;
    raw("All", REG_DWORD, &all, 4);
    EXPECT_TRUE(config.get_int("All", n));
    EXPECT_EQ(n, -1);
}

TEST_F(ProcessConfigTest, StringFromOtherTypes) {
    ProcessConfig config(1, name_.c_str(), false);
    std::string s = "kept";
    ASSERT_TRUE(config.set_int("Seven", 7));
    EXPECT_TRUE(config.get_string("Seven", s));
    EXPECT_EQ(s, "7");
    DWORD all = 4294967295u;
    raw("All", REG_DWORD, &all, 4);
    EXPECT_TRUE(config.get_string("All", s));
    EXPECT_EQ(s, "-1");
    s = "kept";
    raw("Short", REG_DWORD, "\x07", 1);
    EXPECT_FALSE(config.get_string("Short", s));
    raw("Binary", REG_BINARY, "abc", 4);
    EXPECT_FALSE(config.get_string("Binary", s));
    raw("Multi", REG_MULTI_SZ, "a\0b\0", 5);
    EXPECT_FALSE(config.get_string("Multi", s));
    EXPECT_FALSE(config.get_string("Missing", s));
    EXPECT_EQ(s, "kept");
}

TEST_F(ProcessConfigTest, StringEdges) {
    ProcessConfig config(1, name_.c_str(), false);
    std::string s;
    raw("Bare", REG_SZ, "abcdef", 6); // no terminator
    EXPECT_TRUE(config.get_string("Bare", s));
    EXPECT_EQ(s, "abcdef");
    raw("Inner", REG_SZ, "ab\0cd", 6);
    EXPECT_TRUE(config.get_string("Inner", s));
    EXPECT_EQ(s, "ab");
    raw("Zero", REG_SZ, "", 0);
    s = "x";
    EXPECT_TRUE(config.get_string("Zero", s));
    EXPECT_EQ(s, "");
    std::string big(1 << 20, 'q');
    ASSERT_TRUE(config.set_string("Big", big.c_str()));
    EXPECT_TRUE(config.get_string("Big", s));
    EXPECT_EQ(s, big);
    EXPECT_FALSE(config.set_string("Null", nullptr));
    EXPECT_FALSE(config.has_key("Null"));
}

TEST_F(ProcessConfigTest, DataNeedsRoomForTheWholeValue) {
    ProcessConfig config(1, name_.c_str(), false);
    ASSERT_TRUE(config.set_data("Blob", "0123456789", 10));
    char buffer[16] = {};
    EXPECT_EQ(config.get_data("Blob", buffer, 9), 0u);
    EXPECT_EQ(config.get_data("Blob", buffer, 10), 10u);
    EXPECT_EQ(config.get_data("Blob", nullptr, 10), 0u);
    EXPECT_EQ(config.get_data("Blob", buffer, 0), 0u);
    EXPECT_EQ(config.get_data("Missing", buffer, sizeof buffer), 0u);
    // Any type reads as raw bytes.
    ASSERT_TRUE(config.set_int("Int", 0x01020304));
    EXPECT_EQ(config.get_data("Int", buffer, sizeof buffer), 4u);
    EXPECT_EQ(std::memcmp(buffer, "\x04\x03\x02\x01", 4), 0);
    // Sizes beyond what the registry takes are refused, not truncated.
    EXPECT_FALSE(config.set_data("Huge", buffer, uint64(1) << 32));
    EXPECT_FALSE(config.set_data("NullData", nullptr, 3));
    EXPECT_FALSE(config.has_key("Huge"));
}

TEST_F(ProcessConfigTest, SubkeysAreNotValues) {
    ProcessConfig config(1, name_.c_str(), false);
    ASSERT_TRUE(registry_.create(HKEY_CURRENT_USER, path_ + "\\Child\\Grandchild"));
    EXPECT_FALSE(config.has_key("Child"));
    // A name may reach deeper with "\".
    ProcessConfig deep(1, (name_ + "\\Child\\Grandchild").c_str(), false);
    EXPECT_TRUE(deep.set_int("Depth", 2));
    int n = 0;
    EXPECT_TRUE(deep.get_int("Depth", n));
    EXPECT_EQ(n, 2);
    // delete_key removes subkeys, never values or the key itself.
    ASSERT_TRUE(config.set_int("Value", 1));
    EXPECT_FALSE(config.delete_key("Value"));
    EXPECT_TRUE(config.has_key("Value"));
    EXPECT_FALSE(config.delete_key(""));
    EXPECT_FALSE(config.delete_key("Child")); // it has a subkey of its own
    ProcessConfig child(1, (name_ + "\\Child").c_str(), false);
    EXPECT_TRUE(child.delete_key("Grandchild"));
    EXPECT_TRUE(config.delete_key("Child"));
    ProcessConfig gone(1, (name_ + "\\Child").c_str(), false);
    EXPECT_FALSE(gone.set_int("x", 1));
    EXPECT_TRUE(config.has_key("Value"));
}

TEST_F(ProcessConfigTest, NullNamesAreRefused) {
    ProcessConfig config(1, name_.c_str(), false);
    int n = 3;
    std::string s = "kept";
    char buffer[4];
    EXPECT_FALSE(config.has_key(nullptr));
    EXPECT_FALSE(config.get_int(nullptr, n));
    EXPECT_FALSE(config.set_int(nullptr, 1));
    EXPECT_FALSE(config.get_string(nullptr, s));
    EXPECT_FALSE(config.set_string(nullptr, "v"));
    EXPECT_EQ(config.get_data(nullptr, buffer, sizeof buffer), 0u);
    EXPECT_FALSE(config.set_data(nullptr, "v", 1));
    EXPECT_FALSE(config.delete_key(nullptr));
    EXPECT_EQ(n, 3);
    EXPECT_EQ(s, "kept");
}

TEST_F(ProcessConfigTest, OpeningWithoutCreating) {
    std::string missing = name_ + "\\NotThere";
    {
        ProcessConfig config(1, missing.c_str(), false);
        EXPECT_FALSE(config.set_int("x", 1));
    }
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, (kRoot + "\\" + missing).c_str(), 0, KEY_READ, &key),
              ERROR_SUCCESS);
    {
        ProcessConfig config(1, missing.c_str(), true);
        EXPECT_TRUE(config.set_int("x", 1));
    }
    ProcessConfig config(1, missing.c_str(), false);
    int n = 0;
    EXPECT_TRUE(config.get_int("x", n));
    EXPECT_EQ(n, 1);
}

TEST_F(ProcessConfigTest, OverlongKeyPathOpensNothing) {
    // The product key and "\" take 29 characters; 230 more make 259.
    std::string fits = name_ + "\\" + std::string(230 - name_.size() - 1, 'k');
    std::string too_long = fits + "k";
    ProcessConfig yes(1, fits.c_str(), true);
    EXPECT_TRUE(yes.set_int("x", 1));
    ProcessConfig no(1, too_long.c_str(), true);
    EXPECT_FALSE(no.set_int("x", 1));
}

TEST_F(ProcessConfigTest, LocalMachineRoot) {
    RegistryScope machine;
    ASSERT_TRUE(machine.create(HKEY_LOCAL_MACHINE, path_));
    ProcessConfig config(0, name_.c_str(), false);
    EXPECT_TRUE(config.set_string("Where", "HKLM"));
    ProcessConfig user(1, name_.c_str(), false);
    std::string s;
    EXPECT_FALSE(user.get_string("Where", s));
}

TEST(ProcessConfigImage, NullNameUsesTheProgramsOwnSubkey) {
    // This program is test_policy.exe.
    RegistryScope registry;
    ASSERT_TRUE(registry.set_string(HKEY_CURRENT_USER, kRoot + "\\test_policy", "Probe", "own"));
    ProcessConfig config(1, nullptr, false);
    std::string s;
    EXPECT_TRUE(config.get_string("Probe", s));
    EXPECT_EQ(s, "own");
}

TEST(ProcessConfigImage, OnlyTheLastExtensionIsCut) {
    zem::vfs::test::TempFolder folder(L"zem_config");
    ASSERT_TRUE(
        zem::vfs::test::copy_child(L"child_process_config", folder.path(), L"Tool.new.exe"));
    RegistryScope registry;
    ASSERT_TRUE(registry.set_string(HKEY_CURRENT_USER, kRoot + "\\Tool.new", "Probe", "tool new"));
    ChildResult child = zem::vfs::test::run_child(folder.file(L"Tool.new.exe"));
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.value("probe"), "tool new");
}
