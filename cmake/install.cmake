# cmake --install <build> --prefix P gives:
#   P/include/zem/vfs.h and P/include/zem/vfs/<subsystem>/*.h, TinyXML's headers
#   P/bin/zem.vfs.common.dll with the mingw runtime DLLs, P/lib/libzem.vfs.common.dll.a
#   P/lib/cmake/zem_vfs_common: find_package(zem_vfs_common) -> zem::vfs_common
include(CMakePackageConfigHelpers)

install(TARGETS zem_vfs_common EXPORT zem_vfs_commonTargets
    RUNTIME DESTINATION bin LIBRARY DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${ZEM_RUNTIME_DLLS} DESTINATION bin)

# Public headers: everything under common/ but the internal engine folders.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/common/ DESTINATION include/zem/vfs
    FILES_MATCHING PATTERN "*.h"
    PATTERN "regex" EXCLUDE PATTERN "internal" EXCLUDE)
install(FILES ${CMAKE_SOURCE_DIR}/include/zem/vfs.h DESTINATION include/zem)
install(FILES ${ZEM_TINYXML_ROOT}/include/tinyxml.h ${ZEM_TINYXML_ROOT}/include/tinystr.h
    DESTINATION include/zem/vfs/tinyxml)

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
