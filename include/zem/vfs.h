// zem.vfs.common: every exported class of the library (namespace zem::vfs)
// and the exported TinyXML document classes.
#pragma once

#include "vfs/all.h"
