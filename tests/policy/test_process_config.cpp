// ProcessConfig over a scratch subkey of the product key: value types and
// conversions, hostile values written behind its back, keys it cannot open,
// and the program's own subkey named after its image.
#include "../../common/policy/ProcessConfig.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstring>
#include <string>

using zem::vfs::ProcessConfig;
using zem::vfs::uint64;
using namespace zem::vfs::test;

namespace {

std::string const kRoot = "Software\\Tavrin Labs\\Quillon";

class ProcessConfigTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(created_); }
    // Writes a value of any type and size, as another program might.
    void raw(char const *name, DWORD type, void const *data, DWORD size) {
        ASSERT_TRUE(registry_.set(HKEY_CURRENT_USER, kRoot + "\\" + name_, name, type, data, size));
    }

    RegistryScope registry_;
    std::string const name_ = "zem_config_test_" + std::to_string(GetCurrentProcessId());
    bool const created_ = registry_.create(HKEY_CURRENT_USER, kRoot + "\\" + name_);
    ProcessConfig config_{1, name_.c_str(), false};
};

} // namespace

TEST(ProcessConfigRoot, UnknownRootOpensNothing) {
    for (int root : {2, -1}) {
        ProcessConfig config(root, "", true);
        int n = 5;
        std::string s = "kept";
        char buffer[8];
        EXPECT_FALSE(config.has_key("x") || config.get_int("x", n) || config.get_string("x", s));
        EXPECT_EQ(config.get_data("x", buffer, sizeof buffer), 0u);
        EXPECT_FALSE(config.set_int("x", 1) || config.set_string("x", "v") ||
                     config.set_data("x", "v", 1) || config.delete_key("x"));
        EXPECT_TRUE(n == 5 && s == "kept");
    }
}

TEST_F(ProcessConfigTest, RoundTripsAndNullNames) {
    unsigned char const blob[] = {0, 1, 2, 0xFF, 0};
    EXPECT_TRUE(config_.set_int("Int", -42));
    EXPECT_TRUE(config_.set_string("Text", "Quillon \xE9t\xE9"));
    EXPECT_TRUE(config_.set_data("Blob", blob, sizeof blob));
    EXPECT_TRUE(config_.set_data("Empty", nullptr, 0));
    ProcessConfig again(1, name_.c_str(), false);
    int n = 0;
    std::string s;
    unsigned char back[16] = {};
    EXPECT_TRUE(again.get_int("Int", n));
    EXPECT_EQ(n, -42);
    EXPECT_TRUE(again.get_string("Text", s));
    EXPECT_EQ(s, "Quillon \xE9t\xE9");
    EXPECT_EQ(again.get_data("Blob", back, sizeof back), sizeof blob);
    EXPECT_EQ(std::memcmp(back, blob, sizeof blob), 0);
    EXPECT_TRUE(again.has_key("Empty") && again.has_key("Int"));
    EXPECT_FALSE(again.has_key("Missing"));

    EXPECT_FALSE(config_.has_key(nullptr) || config_.get_int(nullptr, n) ||
                 config_.set_int(nullptr, 1) || config_.get_string(nullptr, s) ||
                 config_.set_string(nullptr, "v") || config_.set_data(nullptr, "v", 1) ||
                 config_.delete_key(nullptr));
    EXPECT_EQ(config_.get_data(nullptr, back, sizeof back), 0u);
    EXPECT_FALSE(config_.set_string("Null", nullptr));
    EXPECT_FALSE(config_.has_key("Null"));
}

TEST_F(ProcessConfigTest, IntFromText) {
    struct Case {
        char const *text;
        bool ok;
        int value;
    } const cases[] = {
        {"42", true, 42},
        {"-7", true, -7},
        {"  12", true, 12},
        {"2147483647", true, INT_MAX},
        {"42x", false, 0},
        {"", false, 0},
        {"12 ", false, 0},
        {"0x10", false, 0},
        {"99999999999", false, 0}, // does not fit an int
        {"1111111111111111111111111111111111111111", false, 0},
    };
    for (Case const &c : cases) {
        ASSERT_TRUE(config_.set_string("N", c.text));
        int n = 1234;
        EXPECT_EQ(config_.get_int("N", n), c.ok) << "'" << c.text << "'";
        EXPECT_EQ(n, c.ok ? c.value : 1234) << "'" << c.text << "'";
    }
}

TEST_F(ProcessConfigTest, IntFromHostileValues) {
    std::string const digits29 = std::string(28, '0') + "9", digits30 = "0" + digits29;
    std::string const huge(100000, '1');
    struct Case {
        DWORD type;
        void const *data;
        DWORD size;
        bool ok;
        int value;
    } const cases[] = {
        {REG_SZ, "42", 2, true, 42}, // no terminator
        {REG_SZ, digits29.c_str(), 30, true, 9},
        {REG_SZ, digits30.c_str(), 30, false, 0}, // 30 characters are too many
        {REG_SZ, digits30.c_str(), 31, false, 0},
        {REG_SZ, huge.c_str(), DWORD(huge.size()), false, 0},
        {REG_DWORD, "\xFF\xFF\xFF\xFF", 4, true, -1},
        {REG_DWORD, "\x07\0", 2, false, 0},
        {REG_DWORD, "\x07\0\0\0\0\0\0\0", 8, false, 0},
        {REG_QWORD, "\x07\0\0\0\0\0\0\0", 8, false, 0},
        {REG_BINARY, "\x07\0\0\0", 4, false, 0},
        {REG_EXPAND_SZ, "7", 2, false, 0},
    };
    for (Case const &c : cases) {
        raw("V", c.type, c.data, c.size);
        int n = 1234;
        EXPECT_EQ(config_.get_int("V", n), c.ok) << c.type << " " << c.size;
        EXPECT_EQ(n, c.ok ? c.value : 1234) << c.type << " " << c.size;
    }
}

TEST_F(ProcessConfigTest, StringFromEachType) {
    std::string const big(1 << 20, 'q');
    struct Case {
        DWORD type;
        void const *data;
        DWORD size;
        bool ok;
        std::string text;
    } const cases[] = {
        {REG_DWORD, "\x07\0\0\0", 4, true, "7"},
        {REG_DWORD, "\xFF\xFF\xFF\xFF", 4, true, "-1"},
        {REG_SZ, "abcdef", 6, true, "abcdef"}, // no terminator
        {REG_SZ, "ab\0cd", 6, true, "ab"},
        {REG_SZ, "", 0, true, ""},
        {REG_SZ, big.c_str(), DWORD(big.size() + 1), true, big},
        {REG_DWORD, "\x07", 1, false, ""},
        {REG_BINARY, "abc", 4, false, ""},
        {REG_MULTI_SZ, "a\0b\0", 5, false, ""},
    };
    for (Case const &c : cases) {
        raw("V", c.type, c.data, c.size);
        std::string s = "kept";
        EXPECT_EQ(config_.get_string("V", s), c.ok) << c.type << " " << c.size;
        EXPECT_EQ(s, c.ok ? c.text : "kept") << c.type << " " << c.size;
    }
    std::string s = "kept";
    EXPECT_FALSE(config_.get_string("Missing", s));
}

TEST_F(ProcessConfigTest, DataNeedsRoomForTheWholeValue) {
    ASSERT_TRUE(config_.set_data("Blob", "0123456789", 10));
    char buffer[16] = {};
    EXPECT_EQ(config_.get_data("Blob", buffer, 9), 0u);
    EXPECT_EQ(config_.get_data("Blob", buffer, 10), 10u);
    EXPECT_EQ(config_.get_data("Blob", nullptr, 10), 0u);
    EXPECT_EQ(config_.get_data("Missing", buffer, sizeof buffer), 0u);
    ASSERT_TRUE(config_.set_int("Int", 0x01020304)); // any type reads as raw bytes
    EXPECT_EQ(config_.get_data("Int", buffer, sizeof buffer), 4u);
    EXPECT_EQ(std::memcmp(buffer, "\x04\x03\x02\x01", 4), 0);
    EXPECT_FALSE(config_.set_data("Huge", buffer, uint64(1) << 32)); // refused, not cut
    EXPECT_FALSE(config_.set_data("NullData", nullptr, 3));
    EXPECT_FALSE(config_.has_key("Huge"));
}

TEST_F(ProcessConfigTest, SubkeysAreNotValues) {
    ASSERT_TRUE(registry_.create(HKEY_CURRENT_USER, kRoot + "\\" + name_ + "\\Child\\Grand"));
    EXPECT_FALSE(config_.has_key("Child"));
    ProcessConfig deep(1, (name_ + "\\Child\\Grand").c_str(), false); // "\" reaches deeper
    EXPECT_TRUE(deep.set_int("Depth", 2));
    ASSERT_TRUE(config_.set_int("Value", 1));
    EXPECT_FALSE(config_.delete_key("Value")); // values are not deleted
    EXPECT_FALSE(config_.delete_key(""));      // nor the key itself
    EXPECT_FALSE(config_.delete_key("Child")); // it has a subkey of its own
    EXPECT_TRUE(ProcessConfig(1, (name_ + "\\Child").c_str(), false).delete_key("Grand"));
    EXPECT_TRUE(config_.delete_key("Child"));
    EXPECT_FALSE(ProcessConfig(1, (name_ + "\\Child").c_str(), false).set_int("x", 1));
    EXPECT_TRUE(config_.has_key("Value"));
}

TEST_F(ProcessConfigTest, OpeningAndCreating) {
    std::string const missing = name_ + "\\NotThere";
    EXPECT_FALSE(ProcessConfig(1, missing.c_str(), false).set_int("x", 1));
    EXPECT_TRUE(ProcessConfig(1, missing.c_str(), true).set_int("x", 1));
    int n = 0;
    EXPECT_TRUE(ProcessConfig(1, missing.c_str(), false).get_int("x", n));
    // The product key and "\" take 29 characters; 230 more make 259.
    std::string const fits = name_ + "\\" + std::string(230 - name_.size() - 1, 'k');
    EXPECT_TRUE(ProcessConfig(1, fits.c_str(), true).set_int("x", 1));
    EXPECT_FALSE(ProcessConfig(1, (fits + "k").c_str(), true).set_int("x", 1));
    // HKEY_LOCAL_MACHINE is a root of its own.
    RegistryScope machine;
    ASSERT_TRUE(machine.create(HKEY_LOCAL_MACHINE, kRoot + "\\" + name_));
    EXPECT_TRUE(ProcessConfig(0, name_.c_str(), false).set_string("Where", "HKLM"));
    std::string s;
    EXPECT_FALSE(config_.get_string("Where", s));
}

TEST(ProcessConfigImage, NullNameUsesTheProgramsOwnSubkey) {
    RegistryScope registry; // this program is test_policy.exe
    ASSERT_TRUE(
        registry.set(HKEY_CURRENT_USER, kRoot + "\\test_policy", "Probe", std::string("own")));
    std::string s;
    EXPECT_TRUE(ProcessConfig(1, nullptr, false).get_string("Probe", s));
    EXPECT_EQ(s, "own");

    // C:\...\Tool.new.exe uses the subkey "Tool.new".
    TempFolder folder(L"zem_config");
    ASSERT_TRUE(copy_child(L"child_process_config", folder.path(), L"Tool.new.exe"));
    ASSERT_TRUE(
        registry.set(HKEY_CURRENT_USER, kRoot + "\\Tool.new", "Probe", std::string("tool")));
    ChildResult child = run_child(folder.file(L"Tool.new.exe"));
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.value("probe"), "tool");
}
