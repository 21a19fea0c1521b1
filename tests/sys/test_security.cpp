// The low-mandatory security object, LowSecurity and the privilege switches.
#include "sys/Security.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>
#include <vector>

using namespace zem::vfs;
using namespace zem::vfs::ntdll;

namespace {

// A descriptor as "<DACL in SDDL> label=<SID>/<mask>|<type>:<flags>".
std::string describe(PSECURITY_DESCRIPTOR descriptor) {
    LPSTR dacl = nullptr, sid = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &dacl, nullptr))
        return "<invalid>";
    BOOL present = FALSE, defaulted = TRUE;
    PACL acl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted);
    std::string out = (present && acl == nullptr ? "D:null" : std::string(dacl)) + " label=";
    LocalFree(dacl);
    SYSTEM_MANDATORY_LABEL_ACE *ace = nullptr;
    for (DWORD i = 0; GetSecurityDescriptorSacl(descriptor, &present, &acl, &defaulted) && acl &&
                      i < acl->AceCount && GetAce(acl, i, reinterpret_cast<void **>(&ace));
         ++i) {
        ConvertSidToStringSidA(&ace->SidStart, &sid);
        out += std::string(sid) + "/" + std::to_string(ace->Mask) + "|" +
               std::to_string(ace->Header.AceType) + ":" + std::to_string(ace->Header.AceFlags);
        LocalFree(sid);
    }
    return out;
}

// The security of a kernel object as the system stores it.
std::string stored(HANDLE handle) {
    std::vector<BYTE> buffer(4096);
    DWORD needed = 0;
    if (!GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                 buffer.data(), DWORD(buffer.size()), &needed))
        return "<unreadable>";
    return describe(buffer.data());
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
    std::string const label = " label=S-1-16-4096/1|17:0";
    void *object = security::CreateLowMandatorySecurityObject();
    ASSERT_NE(nullptr, object);
    EXPECT_EQ("D:null" + label, describe(object));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, object, FALSE};
    test::Handle event(CreateEventW(&attributes, TRUE, FALSE, (name + L"e").c_str()));
    security::FreeSecurityObject(object); // the system keeps a copy
    security::FreeSecurityObject(nullptr);
    EXPECT_EQ("D:null" + label, stored(event.get()));

    // "ALL APPLICATION PACKAGES", where the system has the group.
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid, domain_size = 256;
    wchar_t domain[256];
    SID_NAME_USE use;
    bool const packages = LookupAccountNameW(nullptr, L"ALL APPLICATION PACKAGES", sid, &sid_size,
                                             domain, &domain_size, &use);
    std::string const expected =
        std::string("D:(A;;GA;;;WD)") + (packages ? "(A;;GA;;;AC)" : "") + label;
    {
        LowSecurity low;
        EXPECT_EQ(low.attributes(), static_cast<SECURITY_ATTRIBUTES *>(&low));
        EXPECT_EQ(24u, low.nLength);
        EXPECT_FALSE(low.bInheritHandle);
        EXPECT_EQ(expected, describe(low.lpSecurityDescriptor));
        test::Handle mutex(CreateMutexW(&low, FALSE, (name + L"m").c_str()));
        EXPECT_EQ(expected, stored(mutex.get()));
        {
            LowSecurity second; // each object owns its descriptor
            EXPECT_NE(low.lpSecurityDescriptor, second.lpSecurityDescriptor);
        }
        EXPECT_EQ(expected, describe(low.lpSecurityDescriptor));
    }

    SecurityError error(ERROR_INVALID_PARAMETER), unknown(0);
    EXPECT_EQ(static_cast<long>(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)), error.hresult());
    EXPECT_EQ(ERROR_INVALID_PARAMETER, error.code().value());
    EXPECT_EQ(static_cast<long>(E_FAIL), unknown.hresult());
    EXPECT_NE(0, unknown.code().value());
}

TEST(SecurityTest, PrivilegesOfTokens) {
    test::Handle process = process_token(TOKEN_DUPLICATE | TOKEN_QUERY);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateTokenEx(process.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                 TokenPrimary, &copy));
    test::Handle token(copy), event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_EQ(0, privilege_state(token.get()) & SE_PRIVILEGE_ENABLED);
    // Unknown names and handles that are no token change nothing.
    for (wchar_t const *unknown : {L"SeNoSuchPrivilege", static_cast<wchar_t const *>(nullptr)})
        EXPECT_EQ(0, security::EnablePrivilege(token.get(), unknown) +
                         security::DisablePrivilege(token.get(), unknown));
    EXPECT_EQ(0, security::EnablePrivilege(event.get(), L"SeShutdownPrivilege"));
    EXPECT_EQ(0, privilege_state(token.get()) & SE_PRIVILEGE_ENABLED);

    EXPECT_NE(0, security::EnablePrivilege(token.get(), L"SeShutdownPrivilege"));
    EXPECT_EQ(long(SE_PRIVILEGE_ENABLED), privilege_state(token.get()) & SE_PRIVILEGE_ENABLED);
    EXPECT_NE(0, security::DisablePrivilege(token.get(), L"SeShutdownPrivilege"));
    EXPECT_EQ(-1, privilege_state(token.get()));
    // Removed for good: enabling succeeds as the system call does, to no effect.
    SetLastError(0);
    EXPECT_NE(0, security::EnablePrivilege(token.get(), L"SeShutdownPrivilege"));
    EXPECT_EQ(DWORD(ERROR_NOT_ALL_ASSIGNED), GetLastError());
    EXPECT_EQ(-1, privilege_state(token.get()));

    // All ones is the thread's token, which only an impersonating thread has.
    EXPECT_EQ(0, security::EnablePrivilege(INVALID_HANDLE_VALUE, L"SeShutdownPrivilege"));
    EXPECT_EQ(DWORD(ERROR_NO_TOKEN), GetLastError());
    EXPECT_EQ(0, security::DisablePrivilege(INVALID_HANDLE_VALUE, L"SeShutdownPrivilege"));
    // Null is the process token; SeChangeNotifyPrivilege is enabled in every one.
    EXPECT_NE(0, security::EnablePrivilege(nullptr, L"SeChangeNotifyPrivilege"));
    EXPECT_EQ(long(SE_PRIVILEGE_ENABLED),
              privilege_state(process_token().get(), L"SeChangeNotifyPrivilege") &
                  SE_PRIVILEGE_ENABLED);
}
