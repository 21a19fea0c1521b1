// Security descriptors for the library's named kernel objects, and token
// privileges.
//
// Sandboxed processes run at low integrity and, on newer systems, as packaged
// applications. The named pipes, mutexes and shared memory of the library are
// therefore created with descriptors that grant every caller full access and
// carry the low mandatory label "S:(ML;;NW;;;LW)" (low integrity, no write up).
#pragma once

// SECURITY_ATTRIBUTES, without the rest of <windows.h>.
#include <windef.h>

#include <minwinbase.h>

#include <system_error>

#include "../config.h"

namespace zem {
namespace vfs {
namespace ntdll {

class ZEM_VFS_API security {
public:
    // One block from LocalAlloc: an absolute security descriptor with a
    // present null DACL and, when the low mandatory label could be converted,
    // that label as its SACL. The address is the descriptor's and is passed
    // as lpSecurityDescriptor. Null only when the block cannot be set up; a
    // label that cannot be converted leaves the null DACL alone. Free it with
    // FreeSecurityObject once the object it protects has been created.
    static void *CreateLowMandatorySecurityObject();
    // Frees the converted label and the block; nothing for null.
    static void FreeSecurityObject(void *object);

    // Enable or remove the privilege named `privilege` (for example
    // L"SeDebugPrivilege") in a token: null `token` means the current
    // process's token, INVALID_HANDLE_VALUE the calling thread's
    // impersonation token, anything else is the token handle itself (it
    // needs TOKEN_ADJUST_PRIVILEGES). The result is that of
    // AdjustTokenPrivileges: non-zero also when the token lacks the privilege
    // (GetLastError() is then ERROR_NOT_ALL_ASSIGNED). 0 when the name is
    // unknown or the token cannot be opened.
    //
    // DisablePrivilege removes the privilege from the token for good
    // (SE_PRIVILEGE_REMOVED): a later EnablePrivilege on the same token still
    // reports success but cannot bring it back.
    static int EnablePrivilege(void *token, wchar_t const *privilege);
    static int DisablePrivilege(void *token, wchar_t const *privilege);

    security() = delete;
};

// The error raised by LowSecurity when the low mandatory label cannot be
// converted: the Win32 error code of the failing call, as a system_error of
// the system category and as an HRESULT.
class ZEM_VFS_API SecurityError : public std::system_error {
public:
    explicit SecurityError(unsigned long win32_error);
    // HRESULT_FROM_WIN32 of the code (E_FAIL when the system gave no code).
    long hresult() const { return hresult_; }

private:
    long hresult_;
};

// Security attributes for kernel objects that every process may open:
// the object is a SECURITY_ATTRIBUTES (length 24, not inheritable) and its
// address can be handed to CreateMutexW, CreateNamedPipeW and the like.
//
// The descriptor carries the low mandatory label as its SACL and a DACL that
// grants GENERIC_ALL, in this order, to Everyone (S-1-1-0) and to the group
// "ALL APPLICATION PACKAGES". An entry that cannot be built is left out and
// logged at error level ("CreateSecurityObject Failed When SetDacl: World",
// "CreateSecurityObject Failed When SetDacl: ALL APPLICATION PACKAGES"); when
// neither could be built the descriptor has no DACL at all.
//
// The constructor throws SecurityError when the label cannot be converted;
// this is the one exception the library raises to its callers.
//
// The descriptor belongs to the object, which is therefore neither copied
// nor assigned.
class ZEM_VFS_API LowSecurity : public SECURITY_ATTRIBUTES {
public:
    LowSecurity();
    ~LowSecurity();
    LowSecurity(LowSecurity const &) = delete;
    LowSecurity &operator=(LowSecurity const &) = delete;

    SECURITY_ATTRIBUTES *attributes() { return this; }

private:
    struct Object;
    Object *object_;
};

} // namespace ntdll
} // namespace vfs
} // namespace zem
