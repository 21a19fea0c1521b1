// The low-mandatory security object, LowSecurity and the privilege switches.
#include "sys/Security.h"

#include "support/ChildProcess.h"
#include "log/Log.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>
#include <vector>

using namespace zem::vfs;
using namespace zem::vfs::ntdll;

namespace {

std::wstring sid_text(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return L"<invalid>";
    std::wstring result(text);
    LocalFree(text);
    return result;
}

// The one mandatory label of a SACL, as "<SID>/<mask>"; empty without one.
std::wstring label_of(PACL sacl) {
    if (sacl == nullptr || sacl->AceCount != 1)
        return std::wstring();
    ACE_HEADER *header = nullptr;
    if (!GetAce(sacl, 0, reinterpret_cast<void **>(&header)) ||
        header->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE || header->AceFlags != 0)
        return std::wstring();
    auto *ace = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE *>(header);
    return sid_text(&ace->SidStart) + L"/" + std::to_wstring(ace->Mask);
}

std::wstring const kLowNoWriteUp = L"S-1-16-4096/1";

struct Dacl {
    bool present = false;
    PACL acl = nullptr;
};

Dacl dacl_of(PSECURITY_DESCRIPTOR descriptor) {
    Dacl dacl;
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    if (GetSecurityDescriptorDacl(descriptor, &present, &dacl.acl, &defaulted)) {
        dacl.present = present != FALSE;
        EXPECT_FALSE(defaulted);
    }
    return dacl;
}

PACL sacl_of(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    if (!GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted) || !present)
        return nullptr;
    return sacl;
}

// The entries of a DACL as "<type>:<flags>:<mask hex>:<SID>".
std::vector<std::wstring> entries_of(PACL acl) {
    std::vector<std::wstring> entries;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        ACE_HEADER *header = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void **>(&header)))
            break;
        std::wstring sid = L"?";
        DWORD mask = 0;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header);
            sid = sid_text(&ace->SidStart);
            mask = ace->Mask;
        }
        wchar_t hex[16];
        swprintf(hex, 16, L"%lx", static_cast<unsigned long>(mask));
        entries.push_back(std::to_wstring(header->AceType) + L":" +
                          std::to_wstring(header->AceFlags) + L":" + hex + L":" + sid);
    }
    return entries;
}

// The SID of "ALL APPLICATION PACKAGES" as this system names it; empty when
// the system lacks the group.
std::wstring application_packages_sid() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid;
    wchar_t domain[256];
    DWORD domain_size = 256;
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, L"ALL APPLICATION PACKAGES", sid, &sid_size, domain,
                            &domain_size, &use))
        return std::wstring();
    return sid_text(sid);
}

// The security of a kernel object as the system stores it.
std::vector<BYTE> object_security(HANDLE handle) {
    std::vector<BYTE> buffer(4096);
    DWORD needed = 0;
    if (!GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                 buffer.data(), DWORD(buffer.size()), &needed))
        buffer.clear();
    return buffer;
}

// The attributes of `privilege` in `token`; -1 when the token lacks it.
long privilege_state(HANDLE token, wchar_t const *privilege) {
    LUID id;
    if (!LookupPrivilegeValueW(nullptr, privilege, &id))
        return -2;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!GetTokenInformation(token, TokenPrivileges, buffer.data(), DWORD(buffer.size()), &needed))
        return -2;
    auto *privileges = reinterpret_cast<TOKEN_PRIVILEGES *>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        LUID const &luid = privileges->Privileges[i].Luid;
        if (luid.LowPart == id.LowPart && luid.HighPart == id.HighPart)
            return long(privileges->Privileges[i].Attributes);
    }
    return -1;
}

} // namespace

TEST(LowMandatorySecurityObjectTest, NullDaclAndLowLabel) {
    void *object = security::CreateLowMandatorySecurityObject();
    ASSERT_NE(nullptr, object);
    EXPECT_TRUE(IsValidSecurityDescriptor(object));
    Dacl dacl = dacl_of(object);
    EXPECT_TRUE(dacl.present);
    EXPECT_EQ(nullptr, dacl.acl);
    EXPECT_EQ(kLowNoWriteUp, label_of(sacl_of(object)));
    security::FreeSecurityObject(object);
    security::FreeSecurityObject(nullptr);
}

TEST(LowMandatorySecurityObjectTest, NamedObjectKeepsNullDaclAndLabel) {
    void *object = security::CreateLowMandatorySecurityObject();
    ASSERT_NE(nullptr, object);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, object, FALSE};
    std::wstring name = L"zem_security_" + std::to_wstring(GetCurrentProcessId());
    test::Handle event(CreateEventW(&attributes, TRUE, FALSE, name.c_str()));
    // The system copied the descriptor: the object may go at once.
    security::FreeSecurityObject(object);
    ASSERT_TRUE(event.valid());
    std::vector<BYTE> stored = object_security(event.get());
    ASSERT_FALSE(stored.empty());
    Dacl dacl = dacl_of(stored.data());
    EXPECT_TRUE(dacl.present);
    EXPECT_EQ(nullptr, dacl.acl);
    EXPECT_EQ(kLowNoWriteUp, label_of(sacl_of(stored.data())));
}

TEST(LowSecurityTest, AttributesWorldAndApplicationPackages) {
    // Records of the logger go to a file of the test's own for this case.
    test::TempFolder folder(L"zem_lowsec");
    std::string log_path = test::narrow(folder.file(L"security.log"));
    {
        Log settings(nullptr, 0, 8);
        ASSERT_TRUE(settings.open(log_path.c_str()));
        settings.level(7);
    }
    std::wstring packages = application_packages_sid();
    {
        LowSecurity low;
        SECURITY_ATTRIBUTES *attributes = &low;
        EXPECT_EQ(static_cast<void *>(&low), static_cast<void *>(attributes));
        EXPECT_EQ(attributes, low.attributes());
        EXPECT_EQ(24u, low.nLength);
        EXPECT_FALSE(low.bInheritHandle);
        ASSERT_NE(nullptr, low.lpSecurityDescriptor);
        EXPECT_TRUE(IsValidSecurityDescriptor(low.lpSecurityDescriptor));
        EXPECT_EQ(kLowNoWriteUp, label_of(sacl_of(low.lpSecurityDescriptor)));

        Dacl dacl = dacl_of(low.lpSecurityDescriptor);
        ASSERT_TRUE(dacl.present);
        ASSERT_NE(nullptr, dacl.acl);
        std::vector<std::wstring> expected = {L"0:0:10000000:S-1-1-0"};
        if (!packages.empty())
            expected.push_back(L"0:0:10000000:" + packages);
        EXPECT_EQ(expected, entries_of(dacl.acl));

        // Usable wherever security attributes are expected, and stored so.
        std::wstring name = L"zem_lowsecurity_" + std::to_wstring(GetCurrentProcessId());
        test::Handle mutex(CreateMutexW(&low, FALSE, name.c_str()));
        ASSERT_TRUE(mutex.valid());
        std::vector<BYTE> stored = object_security(mutex.get());
        ASSERT_FALSE(stored.empty());
        EXPECT_EQ(expected, entries_of(dacl_of(stored.data()).acl));
        EXPECT_EQ(kLowNoWriteUp, label_of(sacl_of(stored.data())));
    }
    {
        Log settings(nullptr, 0, 8);
        settings.open(nullptr);
        settings.level(4);
    }
    std::string log = test::read_file(folder.file(L"security.log"));
    EXPECT_EQ(std::string::npos, log.find("CreateSecurityObject Failed When SetDacl: World"))
        << log;
    if (packages.empty()) {
        // A system without the group: logged, and the World entry alone.
        EXPECT_NE(std::string::npos,
                  log.find("CreateSecurityObject Failed When SetDacl: ALL APPLICATION PACKAGES"))
            << log;
    } else {
        EXPECT_EQ(std::string::npos, log.find("ALL APPLICATION PACKAGES")) << log;
    }
}

TEST(LowSecurityTest, ObjectsAreIndependent) {
    LowSecurity first;
    void *descriptor = first.lpSecurityDescriptor;
    {
        LowSecurity second;
        EXPECT_NE(descriptor, second.lpSecurityDescriptor);
    }
    // The first one's descriptor outlives the second object.
    EXPECT_TRUE(IsValidSecurityDescriptor(first.lpSecurityDescriptor));
    EXPECT_EQ(kLowNoWriteUp, label_of(sacl_of(first.lpSecurityDescriptor)));
}

TEST(SecurityErrorTest, CarriesWin32CodeAndHresult) {
    SecurityError error(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(static_cast<long>(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)), error.hresult());
    EXPECT_EQ(ERROR_INVALID_PARAMETER, error.code().value());
    EXPECT_EQ(&std::system_category(), &error.code().category());
    SecurityError unknown(0);
    EXPECT_EQ(static_cast<long>(E_FAIL), unknown.hresult());
    EXPECT_NE(0, unknown.code().value());
}

class PrivilegeTest : public ::testing::Test {
protected:
    void SetUp() override {
        HANDLE process = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process));
        test::Handle owner(process);
        HANDLE copy = nullptr;
        ASSERT_TRUE(DuplicateTokenEx(process, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                     TokenPrimary, &copy));
        token_.reset(copy);
        ASSERT_NE(-1, privilege_state(token_.get(), kPrivilege)) << "the token lacks the privilege";
    }

    static constexpr wchar_t const *kPrivilege = L"SeShutdownPrivilege";
    test::Handle token_;
};

TEST_F(PrivilegeTest, EnableThenRemoveForGood) {
    EXPECT_NE(0, security::EnablePrivilege(token_.get(), kPrivilege));
    EXPECT_EQ(long(SE_PRIVILEGE_ENABLED),
              privilege_state(token_.get(), kPrivilege) & SE_PRIVILEGE_ENABLED);

    EXPECT_NE(0, security::DisablePrivilege(token_.get(), kPrivilege));
    EXPECT_EQ(-1, privilege_state(token_.get(), kPrivilege));

    // Removed, not merely disabled: enabling reports success (the adjustment
    // call does) but nothing comes back.
    SetLastError(0);
    EXPECT_NE(0, security::EnablePrivilege(token_.get(), kPrivilege));
    EXPECT_EQ(DWORD(ERROR_NOT_ALL_ASSIGNED), GetLastError());
    EXPECT_EQ(-1, privilege_state(token_.get(), kPrivilege));
}

TEST_F(PrivilegeTest, UnknownNamesAndTokens) {
    EXPECT_EQ(0, security::EnablePrivilege(token_.get(), L"SeNoSuchPrivilege"));
    EXPECT_EQ(0, security::DisablePrivilege(token_.get(), L"SeNoSuchPrivilege"));
    EXPECT_EQ(0, security::EnablePrivilege(token_.get(), nullptr));
    EXPECT_EQ(0, security::DisablePrivilege(token_.get(), nullptr));
    // A handle that is not a token.
    test::Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(0, security::EnablePrivilege(event.get(), kPrivilege));
    // Nothing changed in the token.
    EXPECT_EQ(0, privilege_state(token_.get(), kPrivilege) & SE_PRIVILEGE_ENABLED);
}

TEST(PrivilegeThreadTest, ThreadTokenNeedsImpersonation) {
    // All ones selects the thread's token, which a thread that does not
    // impersonate has not.
    EXPECT_EQ(0, security::EnablePrivilege(INVALID_HANDLE_VALUE, L"SeShutdownPrivilege"));
    EXPECT_EQ(DWORD(ERROR_NO_TOKEN), GetLastError());
    EXPECT_EQ(0, security::DisablePrivilege(INVALID_HANDLE_VALUE, L"SeShutdownPrivilege"));

    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    int enabled = security::EnablePrivilege(INVALID_HANDLE_VALUE, L"SeShutdownPrivilege");
    HANDLE raw = nullptr;
    bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw) != FALSE;
    test::Handle thread_token(raw);
    long state = opened ? privilege_state(thread_token.get(), L"SeShutdownPrivilege") : -3;
    RevertToSelf();
    EXPECT_NE(0, enabled);
    EXPECT_EQ(long(SE_PRIVILEGE_ENABLED), state & SE_PRIVILEGE_ENABLED);

    // The process token was not touched.
    HANDLE process = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &process));
    test::Handle process_token(process);
    EXPECT_EQ(0,
              privilege_state(process_token.get(), L"SeShutdownPrivilege") & SE_PRIVILEGE_ENABLED);
}

TEST(PrivilegeThreadTest, NullMeansProcessToken) {
    // SeChangeNotifyPrivilege is enabled in every token: enabling it again
    // changes nothing.
    EXPECT_NE(0, security::EnablePrivilege(nullptr, L"SeChangeNotifyPrivilege"));
    HANDLE process = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &process));
    test::Handle token(process);
    EXPECT_EQ(long(SE_PRIVILEGE_ENABLED),
              privilege_state(token.get(), L"SeChangeNotifyPrivilege") & SE_PRIVILEGE_ENABLED);
}
