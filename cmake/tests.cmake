# GoogleTest for the target, one test executable per subsystem folder under
# tests/, each run under Wine with the build's private prefix.
enable_testing()

set(ZEM_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${ZEM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Wine keeps its server running after a program ends, holding the output of
# whoever started it: the fixture starts one detached server for the run and
# stops it at the end.
add_test(NAME wine_up COMMAND sh -c
    "${ZEM_WINESERVER} -p </dev/null >/dev/null 2>&1; \
     ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot </dev/null >/dev/null 2>&1; exit 0")
add_test(NAME wine_down COMMAND sh -c "${ZEM_WINESERVER} -k </dev/null >/dev/null 2>&1; exit 0")
set_tests_properties(wine_up PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${ZEM_WINE_ENV}")
set_tests_properties(wine_down PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${ZEM_WINE_ENV}")

function(zem_wine_test name)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine
        ENVIRONMENT "${ZEM_WINE_ENV}" TIMEOUT 900)
endfunction()

# Under Wine a crash on a worker thread can end the program with exit code 0:
# a test program passes only when GoogleTest itself says so.
function(zem_gtest_test name)
    zem_wine_test(${name})
    set_tests_properties(${name} PROPERTIES
        PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ test"
        FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
endfunction()

# tests/<subsystem>/*.cpp form test_<subsystem>; a file named child_*.cpp is a
# separate program that the tests of that folder start as a child process.
file(GLOB ZEM_TEST_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/*)
foreach(dir ${ZEM_TEST_DIRS})
    if(NOT IS_DIRECTORY ${dir})
        continue()
    endif()
    get_filename_component(sub ${dir} NAME)
    file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    file(GLOB children CONFIGURE_DEPENDS ${dir}/child_*.cpp)
    if(children)
        list(REMOVE_ITEM sources ${children})
    endif()
    foreach(child ${children})
        get_filename_component(cname ${child} NAME_WE)
        add_executable(${cname} ${child})
        target_link_libraries(${cname} PRIVATE zem_vfs_common)
        zem_warnings(${cname})
    endforeach()
    if(NOT sources)
        continue()
    endif()
    add_executable(test_${sub} ${sources})
    target_link_libraries(test_${sub} PRIVATE zem_vfs_common GTest::gtest_main GTest::gmock)
    target_include_directories(test_${sub} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    # An internal engine built as objects (zem_regex) links into its tests.
    if(TARGET zem_${sub})
        get_target_property(kind zem_${sub} TYPE)
        if(kind STREQUAL "OBJECT_LIBRARY")
            target_link_libraries(test_${sub} PRIVATE zem_${sub})
        endif()
    endif()
    zem_warnings(test_${sub})
    # Building a test program builds the children it starts.
    foreach(child ${children})
        get_filename_component(cname ${child} NAME_WE)
        add_dependencies(test_${sub} ${cname})
    endforeach()
    add_test(NAME test_${sub} COMMAND test_${sub})
    zem_gtest_test(test_${sub})
    # A folder may add what its tests need (fixtures, peers, properties) in a
    # tests.cmake of its own; ZEM_TEST_TARGET names its test program.
    if(EXISTS ${dir}/tests.cmake)
        set(ZEM_TEST_TARGET test_${sub})
        include(${dir}/tests.cmake)
    endif()
endforeach()

# A client project built against the installed package.
add_test(NAME package_client COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
    -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR} -DOBJDUMP=${CMAKE_OBJDUMP}
    -DXMLTEST_SOURCE=${ZEM_TINYXML_ROOT}/test/xmltest.cpp
    -P ${CMAKE_SOURCE_DIR}/tests/package/run_client.cmake)
zem_wine_test(package_client)
