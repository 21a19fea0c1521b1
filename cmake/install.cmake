# cmake --install <build> --prefix P gives:
#   P/include/zem/vfs.h and P/include/zem/vfs/<subsystem>/*.h, TinyXML's headers
#     in P/include/zem/vfs/tinyxml (reached through <zem/vfs.h>, not on the
#     client's include path)
#   P/bin/zem.vfs.common.dll, the helper dispatcher and the mingw runtime DLLs,
#     all stripped of debug information
#   P/lib/libzem.vfs.common.dll.a, P/lib/zem_vfs_common/: the runtime's import
#     libraries
#   P/lib/cmake/zem_vfs_common: find_package(zem_vfs_common) -> zem::vfs_common
#   P/share/zem_vfs_common/mingw-w64.cmake: a toolchain file for clients
include(CMakePackageConfigHelpers)

install(TARGETS zem_vfs_common EXPORT zem_vfs_commonTargets
    RUNTIME DESTINATION bin LIBRARY DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${ZEM_RUNTIME_DLLS} DESTINATION bin)
install(FILES ${ZEM_RUNTIME_IMPLIBS} DESTINATION lib/zem_vfs_common)

# Public headers: everything under common/ but the internal engine folders.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/common/ DESTINATION include/zem/vfs
    FILES_MATCHING PATTERN "*.h"
    PATTERN "regex" EXCLUDE PATTERN "internal" EXCLUDE)
install(FILES ${CMAKE_SOURCE_DIR}/include/zem/vfs.h DESTINATION include/zem)
install(FILES ${ZEM_TINYXML_ROOT}/include/tinyxml.h ${ZEM_TINYXML_ROOT}/include/tinystr.h
    DESTINATION include/zem/vfs/tinyxml)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/mingw-w64.cmake DESTINATION share/zem_vfs_common)

# Shipped binaries carry no debug information: the build keeps it.
if(CMAKE_STRIP)
    install(CODE "set(zem_strip \"${CMAKE_STRIP}\")")
    install(CODE [[
        file(GLOB zem_binaries "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/*.dll"
                               "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/*.exe")
        foreach(binary ${zem_binaries})
            execute_process(COMMAND "${zem_strip}" --strip-unneeded "${binary}"
                            RESULT_VARIABLE rc)
            if(NOT rc EQUAL 0)
                message(FATAL_ERROR "strip failed for ${binary}")
            endif()
        endforeach()
    ]])
endif()

install(EXPORT zem_vfs_commonTargets NAMESPACE zem::
    DESTINATION lib/cmake/zem_vfs_common)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/zem_vfs_commonConfig.cmake.in
    ${CMAKE_BINARY_DIR}/zem_vfs_commonConfig.cmake
    INSTALL_DESTINATION lib/cmake/zem_vfs_common)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zem_vfs_commonConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zem_vfs_commonConfig.cmake
    ${CMAKE_BINARY_DIR}/zem_vfs_commonConfigVersion.cmake
    DESTINATION lib/cmake/zem_vfs_common)
