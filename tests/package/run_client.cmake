# Installs the built library into a scratch prefix, then configures, builds
# and runs (under Wine) a tiny client project that finds it with
# find_package(zem_vfs_common).
set(work ${BUILD_DIR}/package_client)
file(REMOVE_RECURSE ${work})
set(prefix ${work}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
    endif()
    set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f include/zem/vfs.h include/zem/vfs/all.h include/zem/vfs/tinyxml/tinyxml.h
          bin/zem.vfs.common.dll bin/libstdc++-6.dll bin/libgcc_s_seh-1.dll
          bin/libwinpthread-1.dll lib/libzem.vfs.common.dll.a
          lib/cmake/zem_vfs_common/zem_vfs_commonConfig.cmake)
    if(NOT EXISTS ${prefix}/${f})
        message(FATAL_ERROR "install lacks ${f}")
    endif()
endforeach()
if(EXISTS ${prefix}/include/zem/vfs/regex)
    message(FATAL_ERROR "internal headers were installed")
endif()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/package/client -B ${work}/build
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${work}/build)
# The client runs beside the installed DLLs, as a shipped program would.
file(COPY ${work}/build/client.exe DESTINATION ${prefix}/bin)
run(${EMULATOR} ${prefix}/bin/client.exe)
if(NOT last_output MATCHES "client ok")
    message(FATAL_ERROR "unexpected client output: ${last_output}")
endif()
message(STATUS "${last_output}")
