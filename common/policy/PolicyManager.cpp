#include "PolicyManager.h"

namespace zem {
namespace vfs {

PolicyManager::PolicyManager() : PolicyGroup("") {}

PolicyManager::~PolicyManager() = default;

PolicyManager *PolicyManager::instance() {
    // Built once even when several threads come first at the same time;
    // destroyed by the runtime's exit handlers when the library unloads.
    static PolicyManager manager;
    return &manager;
}

void PolicyManager::release() {}

} // namespace vfs
} // namespace zem
