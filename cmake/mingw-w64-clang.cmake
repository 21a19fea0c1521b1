# Cross-compiles for 64-bit Windows with Debian's clang for the mingw-w64
# target, on the C++ runtime of the mingw GCC (posix thread model), and runs
# target programs under Wine. The second compiler keeps the code portable.
# The system, the search roots and the emulator are the GCC toolchain's.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${ZEM_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${ZEM_MINGW_PREFIX})
set(CMAKE_AR ${ZEM_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZEM_MINGW_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${ZEM_MINGW_PREFIX}-strip CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${ZEM_MINGW_PREFIX}-objdump CACHE FILEPATH "")

# The posix-model libstdc++ of the mingw GCC: its headers and libraries.
file(GLOB ZEM_GCC_DIRS /usr/lib/gcc/${ZEM_MINGW_PREFIX}/*-posix)
list(GET ZEM_GCC_DIRS 0 ZEM_GCC_DIR)
# The GCC-built libstdc++ keeps its thread-local variables (std::call_once,
# futures) in emulated TLS: code built with clang must reach them the same way.
# A build adds flags of its own through CXXFLAGS (CMAKE_CXX_FLAGS given on the
# command line would replace this one).
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls")
set(CMAKE_C_FLAGS_INIT "-femulated-tls")

# Given as standard include folders, so that they hold whatever CMAKE_CXX_FLAGS
# a build sets.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${ZEM_GCC_DIR}/include/c++
    ${ZEM_GCC_DIR}/include/c++/${ZEM_MINGW_PREFIX} ${ZEM_GCC_DIR}/include/c++/backward)
# lld finds symbols in archives whatever their order, so the thread library
# (which the GCC driver adds by itself) can be named here.
set(ZEM_CLANG_LINK "-fuse-ld=lld -L${ZEM_GCC_DIR} -lpthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ZEM_CLANG_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ZEM_CLANG_LINK}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${ZEM_CLANG_LINK}")
