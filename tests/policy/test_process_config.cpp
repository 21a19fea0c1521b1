// ProcessConfig over a scratch subkey of the product key: values of every type
// read every way, keys it cannot open, the program's own subkey.
#include "../../common/policy/ProcessConfig.h"

#include "policy_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

using zem::vfs::ProcessConfig;
using zem::vfs::uint64;
using namespace zem::vfs::test;

namespace {

std::string const kRoot = "Software\\Tavrin Labs\\Quillon";

class ProcessConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(registry_.create(HKEY_CURRENT_USER, kRoot + "\\" + name_));
    }
    RegistryScope registry_;
    std::string const name_ = "zem_config_test_" + std::to_string(GetCurrentProcessId());
    std::string const key_ = kRoot + "\\" + name_;
};

} // namespace

TEST_F(ProcessConfigTest, EveryTypeReadEveryWay) {
    std::string const d29 = std::string(28, '0') + "9", d30 = "0" + d29, huge(100000, '1'),
                      big(1 << 20, 'q');
    // clang-format off
    struct Case { DWORD type; std::string data; bool int_ok; int value; bool text_ok; std::string text; } const cases[] = {
        {REG_SZ, std::string("42\0", 3), true, 42, true, "42"}, {REG_SZ, "42", true, 42, true, "42"}, // no terminator
        {REG_SZ, std::string("-7\0", 3), true, -7, true, "-7"}, {REG_SZ, std::string("  12\0", 5), true, 12, true, "  12"},
        {REG_SZ, std::string("2147483647\0", 11), true, INT_MAX, true, "2147483647"},
        {REG_SZ, std::string("-2147483648\0", 12), true, INT_MIN, true, "-2147483648"},
        {REG_SZ, std::string("42x\0", 4), false, 0, true, "42x"}, {REG_SZ, std::string("12 \0", 4), false, 0, true, "12 "},
        {REG_SZ, std::string("0x10\0", 5), false, 0, true, "0x10"}, {REG_SZ, std::string("99999999999\0", 12), false, 0, true, "99999999999"},
        {REG_SZ, std::string("\0", 1), false, 0, true, ""}, {REG_SZ, "", false, 0, true, ""},
        {REG_SZ, std::string("ab\0cd\0", 6), false, 0, true, "ab"}, {REG_SZ, d29, true, 9, true, d29},
        {REG_SZ, d30, false, 0, true, d30}, // 30 characters are too many for a number
        {REG_SZ, huge, false, 0, true, huge}, {REG_SZ, big + '\0', false, 0, true, big},
        {REG_DWORD, std::string("\x07\0\0\0", 4), true, 7, true, "7"}, {REG_DWORD, "\xFF\xFF\xFF\xFF", true, -1, true, "-1"},
        {REG_DWORD, std::string("\x07\0", 2), false, 0, false, ""}, {REG_DWORD, std::string("\x07\0\0\0\0\0\0\0", 8), false, 0, false, ""},
        {REG_QWORD, std::string("\x07\0\0\0\0\0\0\0", 8), false, 0, false, ""}, {REG_BINARY, std::string("\x07\0\0\0", 4), false, 0, false, ""},
        {REG_EXPAND_SZ, std::string("7\0", 2), false, 0, false, ""}, {REG_MULTI_SZ, std::string("a\0b\0\0", 5), false, 0, false, ""}};
    // clang-format on
    ProcessConfig config(1, name_.c_str(), false);
    for (Case const &c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.data.substr(0, 20));
        ASSERT_TRUE(registry_.set(HKEY_CURRENT_USER, key_, "V", c.type, c.data.data(),
                                  DWORD(c.data.size())));
        int n = 1234;
        std::string s = "kept";
        std::string bytes(c.data.size() + 1, '\0');
        EXPECT_TRUE(config.has_key("V"));
        EXPECT_EQ(config.get_int("V", n), c.int_ok);
        EXPECT_EQ(n, c.int_ok ? c.value : 1234);
        EXPECT_EQ(config.get_string("V", s), c.text_ok);
        EXPECT_EQ(s, c.text_ok ? c.text : "kept");
        if (c.type == REG_SZ) // the system may add a terminator to a text
            continue;
        EXPECT_EQ(config.get_data("V", &bytes[0], bytes.size()), c.data.size());
        EXPECT_EQ(bytes.substr(0, c.data.size()), c.data);
        EXPECT_EQ(config.get_data("V", &bytes[0], c.data.size() - 1), 0u);
    }
}

TEST_F(ProcessConfigTest, WritesAndNamesItCannotUse) {
    ProcessConfig config(1, name_.c_str(), false), again(1, name_.c_str(), false);
    unsigned char const blob[] = {0, 1, 2, 0xFF, 0};
    unsigned char back[16] = {};
    int n = 0;
    std::string s;
    EXPECT_TRUE(config.set_int("Int", -42) && again.get_int("Int", n) && n == -42);
    EXPECT_TRUE(config.set_string("Text", "Q \xE9t\xE9") && again.get_string("Text", s) &&
                s == "Q \xE9t\xE9");
    EXPECT_TRUE(config.set_data("Blob", blob, sizeof blob));
    EXPECT_EQ(again.get_data("Blob", back, sizeof back), sizeof blob);
    EXPECT_EQ(std::memcmp(back, blob, sizeof blob), 0);
    EXPECT_EQ(again.get_data("Int", back, sizeof back), 4u); // any type, raw bytes
    EXPECT_TRUE(config.set_data("Empty", nullptr, 0) && again.has_key("Empty"));
    EXPECT_FALSE(config.set_data("Huge", back, uint64(1) << 32)); // refused, not cut
    EXPECT_FALSE(config.set_data("NullData", nullptr, 3) || config.set_string("Null", nullptr));
    EXPECT_FALSE(again.has_key("Huge") || again.has_key("Null") || again.has_key("Missing") ||
                 again.get_string("Missing", s));
    EXPECT_EQ(again.get_data("Missing", back, sizeof back) + again.get_data("Blob", nullptr, 9),
              0u);
    // A null name (never the key's default value), or a root that opens nothing.
    ASSERT_TRUE(registry_.set(HKEY_CURRENT_USER, key_, "", std::string("default")));
    std::pair<int, char const *> const unusable[] = {
        {1, nullptr}, {2, nullptr}, {2, "Int"}, {-1, "Int"}};
    for (auto const &u : unusable) {
        ProcessConfig c(u.first, u.first == 1 ? name_.c_str() : "", true);
        n = 5, s = "kept";
        EXPECT_FALSE(c.has_key(u.second) || c.get_int(u.second, n) || c.get_string(u.second, s) ||
                     c.set_int(u.second, 1) || c.set_string(u.second, "v") ||
                     c.set_data(u.second, "v", 1) || c.delete_key(u.second));
        EXPECT_EQ(c.get_data(u.second, back, sizeof back), 0u);
        EXPECT_TRUE(n == 5 && s == "kept");
    }
}

TEST_F(ProcessConfigTest, KeysOpenedCreatedAndDeleted) {
    ProcessConfig config(1, name_.c_str(), false);
    ASSERT_TRUE(registry_.create(HKEY_CURRENT_USER, key_ + "\\Child\\Grand"));
    EXPECT_FALSE(config.has_key("Child")); // a subkey is no value
    EXPECT_TRUE(ProcessConfig(1, (name_ + "\\Child\\Grand").c_str(), false).set_int("D", 2));
    ASSERT_TRUE(config.set_int("Value", 1));
    EXPECT_FALSE(config.delete_key("Value") || config.delete_key("") || config.delete_key("Child"));
    EXPECT_TRUE(ProcessConfig(1, (name_ + "\\Child").c_str(), false).delete_key("Grand"));
    EXPECT_TRUE(config.delete_key("Child"));
    EXPECT_FALSE(ProcessConfig(1, (name_ + "\\Child").c_str(), false).set_int("x", 1));
    std::string const missing = name_ + "\\NotThere";
    EXPECT_FALSE(ProcessConfig(1, missing.c_str(), false).set_int("x", 1));
    EXPECT_TRUE(ProcessConfig(1, missing.c_str(), true).set_int("x", 1));
    // The product key and "\" take 29 characters; 230 more make 259.
    std::string const fits = name_ + "\\" + std::string(230 - name_.size() - 1, 'k');
    EXPECT_TRUE(ProcessConfig(1, fits.c_str(), true).set_int("x", 1));
    EXPECT_FALSE(ProcessConfig(1, (fits + "k").c_str(), true).set_int("x", 1));
    RegistryScope machine; // HKEY_LOCAL_MACHINE is a root of its own
    ASSERT_TRUE(machine.create(HKEY_LOCAL_MACHINE, key_));
    EXPECT_TRUE(ProcessConfig(0, name_.c_str(), false).set_string("Where", "HKLM"));
    std::string s;
    EXPECT_FALSE(config.get_string("Where", s));
    EXPECT_TRUE(ProcessConfig(0, name_.c_str(), false).get_string("Where", s) && s == "HKLM");
}

TEST(ProcessConfigImage, NullNameUsesTheProgramsOwnSubkey) {
    RegistryScope registry; // this program is test_policy.exe
    ASSERT_TRUE(
        registry.set(HKEY_CURRENT_USER, kRoot + "\\test_policy", "Probe", std::string("own")));
    ASSERT_TRUE(
        registry.set(HKEY_CURRENT_USER, kRoot + "\\Tool.new", "Probe", std::string("tool")));
    std::string s;
    EXPECT_TRUE(ProcessConfig(1, nullptr, false).get_string("Probe", s));
    EXPECT_EQ(s, "own");
    TempFolder folder(L"zem_config"); // C:\...\Tool.new.exe uses the subkey "Tool.new"
    EXPECT_EQ(zem::vfs::policy_test::ask_child(folder, L"Tool.new.exe", {"probe"}).value("probe"),
              "tool");
}
