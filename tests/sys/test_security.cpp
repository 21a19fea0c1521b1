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

// A descriptor as "dacl=<null|none|type:flags:mask:SID ...> label=<SID>/<mask>|<type>:<flags>".
std::wstring describe(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE, defaulted = TRUE;
    PACL acl = nullptr;
    std::wstring out = L"dacl=";
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present || defaulted)
        out += L"none";
    else if (acl == nullptr)
        out += L"null";
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        GetAce(acl, i, reinterpret_cast<void **>(&ace));
        wchar_t mask[16];
        swprintf(mask, 16, L"%lx", static_cast<unsigned long>(ace->Mask));
        out += std::to_wstring(ace->Header.AceType) + L":" + std::to_wstring(ace->Header.AceFlags) +
               L":" + mask + L":" + sid_text(&ace->SidStart) + L" ";
    }
    out += L" label=";
    if (!GetSecurityDescriptorSacl(descriptor, &present, &acl, &defaulted) || !present || !acl)
        return out;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        SYSTEM_MANDATORY_LABEL_ACE *ace = nullptr;
        GetAce(acl, i, reinterpret_cast<void **>(&ace));
        out += sid_text(&ace->SidStart) + L"/" + std::to_wstring(ace->Mask) + L"|" +
               std::to_wstring(ace->Header.AceType) + L":" + std::to_wstring(ace->Header.AceFlags);
    }
    return out;
}

// The security of a kernel object as the system stores it.
std::wstring stored(HANDLE handle) {
    std::vector<BYTE> buffer(4096);
    DWORD needed = 0;
    if (!GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                 buffer.data(), DWORD(buffer.size()), &needed))
        return L"<unreadable>";
    return describe(buffer.data());
}

std::wstring const kLabel = L" label=S-1-16-4096/1|17:0";

// The SID of "ALL APPLICATION PACKAGES" as this system names it; empty when
// the system lacks the group.
std::wstring application_packages_sid() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid, domain_size = 256;
    wchar_t domain[256];
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, L"ALL APPLICATION PACKAGES", sid, &sid_size, domain,
                            &domain_size, &use))
        return std::wstring();
    return sid_text(sid);
}

// The attributes of `privilege` in `token`; -1 when the token lacks it.
long privilege_state(HANDLE token, wchar_t const *privilege = L"SeShutdownPrivilege") {
    LUID id;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!LookupPrivilegeValueW(nullptr, privilege, &id) ||
        !GetTokenInformation(token, TokenPrivileges, buffer.data(), DWORD(buffer.size()), &needed))
        return -2;
    auto *privileges = reinterpret_cast<TOKEN_PRIVILEGES *>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        LUID const &luid = privileges->Privileges[i].Luid;
        if (luid.LowPart == id.LowPart && luid.HighPart == id.HighPart)
            return long(privileges->Privileges[i].Attributes);
    }
    return -1;
}

test::Handle process_token(DWORD access = TOKEN_QUERY) {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), access, &token);
    return test::Handle(token);
}

} // namespace

TEST(SecurityTest, LowMandatoryObjectAndLowSecurity) {
    std::wstring const name = L"zem_security_" + std::to_wstring(GetCurrentProcessId());
    void *object = security::CreateLowMandatorySecurityObject();
    ASSERT_NE(nullptr, object);
    EXPECT_TRUE(IsValidSecurityDescriptor(object));
    EXPECT_EQ(L"dacl=null" + kLabel, describe(object));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, object, FALSE};
    test::Handle event(CreateEventW(&attributes, TRUE, FALSE, (name + L"e").c_str()));
    security::FreeSecurityObject(object); // the system keeps a copy
    security::FreeSecurityObject(nullptr);
    EXPECT_EQ(L"dacl=null" + kLabel, stored(event.get()));

    // Records of the logger go to a file of the test's own for this part.
    test::TempFolder folder(L"zem_lowsec");
    {
        Log settings(nullptr, 0, 8);
        ASSERT_TRUE(settings.open(test::narrow(folder.file(L"security.log")).c_str()));
        settings.level(7);
    }
    std::wstring const packages = application_packages_sid();
    std::wstring expected = L"dacl=0:0:10000000:S-1-1-0 ";
    if (!packages.empty())
        expected += L"0:0:10000000:" + packages + L" ";
    expected += kLabel;
    {
        LowSecurity low;
        SECURITY_ATTRIBUTES *as_attributes = &low;
        EXPECT_EQ(static_cast<void *>(&low), static_cast<void *>(as_attributes));
        EXPECT_EQ(as_attributes, low.attributes());
        EXPECT_EQ(24u, low.nLength);
        EXPECT_FALSE(low.bInheritHandle);
        ASSERT_NE(nullptr, low.lpSecurityDescriptor);
        EXPECT_EQ(expected, describe(low.lpSecurityDescriptor));
        test::Handle mutex(CreateMutexW(&low, FALSE, (name + L"m").c_str()));
        EXPECT_EQ(expected, stored(mutex.get()));
        {
            LowSecurity second; // each object owns its descriptor
            EXPECT_NE(low.lpSecurityDescriptor, second.lpSecurityDescriptor);
        }
        EXPECT_EQ(expected, describe(low.lpSecurityDescriptor));
    }
    {
        Log settings(nullptr, 0, 8);
        settings.open(nullptr);
        settings.level(4);
    }
    std::string log = test::read_file(folder.file(L"security.log"));
    EXPECT_EQ(std::string::npos, log.find("CreateSecurityObject Failed When SetDacl: World"))
        << log;
    // A system without the group logs it and keeps the World entry alone.
    EXPECT_EQ(packages.empty(),
              log.find("CreateSecurityObject Failed When SetDacl: ALL APPLICATION PACKAGES") !=
                  std::string::npos)
        << log;
}

TEST(SecurityTest, ErrorCarriesWin32CodeAndHresult) {
    SecurityError error(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(static_cast<long>(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)), error.hresult());
    EXPECT_EQ(ERROR_INVALID_PARAMETER, error.code().value());
    EXPECT_EQ(&std::system_category(), &error.code().category());
    SecurityError unknown(0);
    EXPECT_EQ(static_cast<long>(E_FAIL), unknown.hresult());
    EXPECT_NE(0, unknown.code().value());
}

TEST(SecurityTest, PrivilegesOfATokenCopy) {
    test::Handle process = process_token(TOKEN_DUPLICATE | TOKEN_QUERY);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateTokenEx(process.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                 TokenPrimary, &copy));
    test::Handle token(copy), event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_EQ(0, privilege_state(token.get()) & SE_PRIVILEGE_ENABLED);
    // Unknown names and handles that are no token change nothing.
    EXPECT_EQ(0, security::EnablePrivilege(token.get(), L"SeNoSuchPrivilege"));
    EXPECT_EQ(0, security::DisablePrivilege(token.get(), L"SeNoSuchPrivilege"));
    EXPECT_EQ(0, security::EnablePrivilege(token.get(), nullptr));
    EXPECT_EQ(0, security::DisablePrivilege(token.get(), nullptr));
    EXPECT_EQ(0, security::EnablePrivilege(event.get(), L"SeShutdownPrivilege"));
    EXPECT_EQ(0, privilege_state(token.get()) & SE_PRIVILEGE_ENABLED);

    EXPECT_NE(0, security::EnablePrivilege(token.get(), L"SeShutdownPrivilege"));
    EXPECT_EQ(long(SE_PRIVILEGE_ENABLED), privilege_state(token.get()) & SE_PRIVILEGE_ENABLED);
    EXPECT_NE(0, security::DisablePrivilege(token.get(), L"SeShutdownPrivilege"));
    EXPECT_EQ(-1, privilege_state(token.get()));
    // Removed for good: enabling succeeds as the adjustment call does, but
    // nothing comes back.
    SetLastError(0);
    EXPECT_NE(0, security::EnablePrivilege(token.get(), L"SeShutdownPrivilege"));
    EXPECT_EQ(DWORD(ERROR_NOT_ALL_ASSIGNED), GetLastError());
    EXPECT_EQ(-1, privilege_state(token.get()));
}

TEST(SecurityTest, ThreadAndProcessTokens) {
    // All ones selects the thread's token, which a thread that does not
    // impersonate has not.
    EXPECT_EQ(0, security::EnablePrivilege(INVALID_HANDLE_VALUE, L"SeShutdownPrivilege"));
    EXPECT_EQ(DWORD(ERROR_NO_TOKEN), GetLastError());
    EXPECT_EQ(0, security::DisablePrivilege(INVALID_HANDLE_VALUE, L"SeShutdownPrivilege"));
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    int enabled = security::EnablePrivilege(INVALID_HANDLE_VALUE, L"SeShutdownPrivilege");
    HANDLE raw = nullptr;
    OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw);
    test::Handle thread_token(raw);
    long state = raw ? privilege_state(thread_token.get()) : -3;
    RevertToSelf();
    EXPECT_NE(0, enabled);
    EXPECT_EQ(long(SE_PRIVILEGE_ENABLED), state & SE_PRIVILEGE_ENABLED);
    EXPECT_EQ(0, privilege_state(process_token().get()) & SE_PRIVILEGE_ENABLED);
    // Null is the process token; SeChangeNotifyPrivilege is enabled in every one.
    EXPECT_NE(0, security::EnablePrivilege(nullptr, L"SeChangeNotifyPrivilege"));
    EXPECT_EQ(long(SE_PRIVILEGE_ENABLED),
              privilege_state(process_token().get(), L"SeChangeNotifyPrivilege") &
                  SE_PRIVILEGE_ENABLED);
}
