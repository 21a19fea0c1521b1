#include "Security.h"

#include <windows.h>

#include <sddl.h>

#include <memory>
#include <new>
#include <utility>

#include "../log/Log.h"
#include "internal/Handles.h"

namespace zem {
namespace vfs {
namespace ntdll {

namespace {

// Low integrity, no write up.
wchar_t const kLowMandatoryLabel[] = L"S:(ML;;NW;;;LW)";

// The group every packaged application belongs to, looked up by name since
// older systems lack it.
wchar_t const kAllApplicationPackages[] = L"ALL APPLICATION PACKAGES";

// The block handed out by CreateLowMandatorySecurityObject: the descriptor
// comes first, so the block's address is the descriptor's.
struct LowMandatoryBlock {
    SECURITY_DESCRIPTOR descriptor;
    PSECURITY_DESCRIPTOR label; // from the SDDL conversion; holds the SACL
};

PSECURITY_DESCRIPTOR convert_label() {
    PSECURITY_DESCRIPTOR label = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLowMandatoryLabel, SDDL_REVISION_1,
                                                              &label, nullptr)) {
        return nullptr;
    }
    return label;
}

// Sets the SACL of `label` into `descriptor`; false when it has none.
bool take_sacl(SECURITY_DESCRIPTOR *descriptor, PSECURITY_DESCRIPTOR label) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    if (!GetSecurityDescriptorSacl(label, &present, &sacl, &defaulted) || !present) {
        return false;
    }
    return SetSecurityDescriptorSacl(descriptor, TRUE, sacl, FALSE) != FALSE;
}

int change_privilege(void *token, wchar_t const *privilege, DWORD attributes) {
    if (privilege == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    LUID id;
    if (!LookupPrivilegeValueW(nullptr, privilege, &id)) {
        return 0;
    }
    // Null is the process token, INVALID_HANDLE_VALUE the thread's: both
    // opened here. Any other token is the caller's, borrowed. Closing ours
    // keeps the caller's view of the adjustment (ERROR_NOT_ALL_ASSIGNED).
    detail::KernelHandle opened;
    if (token == nullptr &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, opened.put())) {
        return 0;
    }
    if (token == INVALID_HANDLE_VALUE &&
        !OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, FALSE, opened.put())) {
        return 0;
    }
    TOKEN_PRIVILEGES change;
    change.PrivilegeCount = 1;
    change.Privileges[0].Luid = id;
    change.Privileges[0].Attributes = attributes;
    return AdjustTokenPrivileges(opened ? opened.get() : token, FALSE, &change, sizeof change,
                                 nullptr, nullptr);
}

long hresult_of(unsigned long error) {
    return error == 0 ? static_cast<long>(E_FAIL) : static_cast<long>(HRESULT_FROM_WIN32(error));
}

} // namespace

void *security::CreateLowMandatorySecurityObject() {
    detail::LocalMemory<LowMandatoryBlock> owned(
        static_cast<LowMandatoryBlock *>(LocalAlloc(LMEM_FIXED, sizeof(LowMandatoryBlock))));
    LowMandatoryBlock *block = owned.get();
    if (block == nullptr) {
        return nullptr;
    }
    block->label = nullptr;
    if (!InitializeSecurityDescriptor(&block->descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&block->descriptor, TRUE, nullptr, FALSE)) {
        return nullptr;
    }
    block->label = convert_label();
    if (block->label != nullptr) {
        take_sacl(&block->descriptor, block->label);
    }
    return &owned.release()->descriptor;
}

void security::FreeSecurityObject(void *object) {
    if (object == nullptr) {
        return;
    }
    detail::LocalMemory<LowMandatoryBlock> block(static_cast<LowMandatoryBlock *>(object));
    detail::LocalMemory<void> label(block.get()->label); // freed first
}

int security::EnablePrivilege(void *token, wchar_t const *privilege) {
    return change_privilege(token, privilege, SE_PRIVILEGE_ENABLED);
}

int security::DisablePrivilege(void *token, wchar_t const *privilege) {
    return change_privilege(token, privilege, SE_PRIVILEGE_REMOVED);
}

SecurityError::SecurityError(unsigned long win32_error)
    : std::system_error(static_cast<int>(win32_error == 0 ? ERROR_GEN_FAILURE : win32_error),
                        std::system_category(), "low mandatory security descriptor"),
      hresult_(hresult_of(win32_error)) {}

// Everything the descriptor points into lives here, as long as the
// LowSecurity that owns it.
struct LowSecurity::Object {
    // Room for the two access-allowed entries, each with a SID of the
    // largest size.
    enum : DWORD {
        acl_size = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)
    };

    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    detail::LocalMemory<void> label; // from the SDDL conversion; holds the SACL
    union {
        ACL acl;
        unsigned char acl_bytes[acl_size];
    };

    Object() = default;
    Object(Object const &) = delete;
    Object &operator=(Object const &) = delete;
};

LowSecurity::LowSecurity() : SECURITY_ATTRIBUTES(), object_(nullptr) {
    detail::LocalMemory<void> label(convert_label());
    if (!label) {
        throw SecurityError(GetLastError());
    }
    std::unique_ptr<Object> object(new (std::nothrow) Object);
    if (!object) {
        throw SecurityError(ERROR_NOT_ENOUGH_MEMORY);
    }
    object->label = std::move(label);
    if (!InitializeSecurityDescriptor(&object->descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        throw SecurityError(GetLastError());
    }
    take_sacl(&object->descriptor, object->label.get());

    bool acl_ready = InitializeAcl(&object->acl, Object::acl_size, ACL_REVISION) != FALSE;
    int entries = 0;

    // Everyone.
    {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID sid = nullptr;
        bool added = false;
        if (acl_ready &&
            AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sid)) {
            added = AddAccessAllowedAceEx(&object->acl, ACL_REVISION, 0, GENERIC_ALL, sid) != FALSE;
            FreeSid(sid);
        }
        if (added) {
            ++entries;
        } else {
            ZEM_LOG(3, "CreateSecurityObject Failed When SetDacl: World");
        }
    }

    // ALL APPLICATION PACKAGES, where the system knows the group.
    {
        union {
            SID sid;
            unsigned char bytes[SECURITY_MAX_SID_SIZE];
        } package;
        DWORD sid_size = sizeof package;
        wchar_t domain[256];
        DWORD domain_size = sizeof domain / sizeof domain[0];
        SID_NAME_USE use;
        bool added = false;
        if (acl_ready && LookupAccountNameW(nullptr, kAllApplicationPackages, &package.sid,
                                            &sid_size, domain, &domain_size, &use)) {
            added = AddAccessAllowedAceEx(&object->acl, ACL_REVISION, 0, GENERIC_ALL,
                                          &package.sid) != FALSE;
        }
        if (added) {
            ++entries;
        } else {
            ZEM_LOG(3, "CreateSecurityObject Failed When SetDacl: ALL APPLICATION PACKAGES");
        }
    }

    if (entries > 0) {
        SetSecurityDescriptorDacl(&object->descriptor, TRUE, &object->acl, FALSE);
    }

    object->attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    object->attributes.lpSecurityDescriptor = &object->descriptor;
    object->attributes.bInheritHandle = FALSE;
    *static_cast<SECURITY_ATTRIBUTES *>(this) = object->attributes;
    object_ = object.release();
}

LowSecurity::~LowSecurity() {
    delete object_;
    object_ = nullptr;
}

} // namespace ntdll
} // namespace vfs
} // namespace zem
