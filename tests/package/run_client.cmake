# Installs the built library into a scratch prefix, checks what it ships, then
# configures a client project with a toolchain file of its own, builds it and
# TinyXML's own test program against the prefix, and runs both under Wine
# beside only the DLLs CMake reports for them.
set(work ${BUILD_DIR}/package_client)
file(REMOVE_RECURSE ${work})
set(prefix ${work}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out
                    WORKING_DIRECTORY ${work})
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
    endif()
    set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(MAKE_DIRECTORY ${work})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f include/zem/vfs.h include/zem/vfs/all.h include/zem/vfs/tinyxml/tinyxml.h
          bin/zem.vfs.common.dll bin/libstdc++-6.dll bin/libgcc_s_seh-1.dll
          bin/libwinpthread-1.dll lib/libzem.vfs.common.dll.a
          lib/cmake/zem_vfs_common/zem_vfs_commonConfig.cmake
          share/zem_vfs_common/mingw-w64.cmake)
    if(NOT EXISTS ${prefix}/${f})
        message(FATAL_ERROR "install lacks ${f}")
    endif()
endforeach()
if(EXISTS ${prefix}/include/zem/vfs/regex)
    message(FATAL_ERROR "internal headers were installed")
endif()
file(GLOB shipped ${prefix}/bin/*.dll ${prefix}/bin/*.exe)
foreach(binary ${shipped})
    run(${OBJDUMP} -h ${binary})
    if(last_output MATCHES "\\.debug_")
        message(FATAL_ERROR "${binary} ships debug sections")
    endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/package/client -B ${work}/build
    -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/tests/package/client/toolchain.cmake
    -Dzem_vfs_common_DIR=${prefix}/lib/cmake/zem_vfs_common
    -DXMLTEST_SOURCE=${XMLTEST_SOURCE})
run(${CMAKE_COMMAND} --build ${work}/build)
string(REGEX MATCH "runtime: [^\n]*" runtime "${last_output}")
foreach(dll zem.vfs.common.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    string(FIND "${runtime}" "${dll}" at)
    if(at LESS 0)
        message(FATAL_ERROR "TARGET_RUNTIME_DLLS lacks ${dll}:\n${last_output}")
    endif()
endforeach()
run(${EMULATOR} ${work}/build/client.exe)
if(NOT last_output MATCHES "client ok")
    message(FATAL_ERROR "unexpected client output: ${last_output}")
endif()
message(STATUS "${last_output}")

# xmltest reads its sample files from, and writes into, the folder it runs in.
if(XMLTEST_SOURCE)
    get_filename_component(xml_dir ${XMLTEST_SOURCE} DIRECTORY)
    file(COPY ${xml_dir}/utf8test.xml ${xml_dir}/utf8testverify.xml DESTINATION ${work}/build)
    execute_process(COMMAND ${EMULATOR} ${work}/build/xmltest.exe WORKING_DIRECTORY ${work}/build
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0 OR NOT out MATCHES "Pass [0-9]+, Fail 0")
        message(FATAL_ERROR "TinyXML's xmltest failed (${rc}):\n${out}")
    endif()
    string(REGEX MATCH "Pass [0-9]+, Fail [0-9]+" summary "${out}")
    message(STATUS "xmltest: ${summary}")
endif()
