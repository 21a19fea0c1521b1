# PCRE2 gives the regular-expression tests a second opinion. It is linked
# into the test program only, never into the library.
if(NOT ZEM_PCRE2_ROOT OR NOT EXISTS "${ZEM_PCRE2_ROOT}/lib/libpcre2-8.a")
    message(FATAL_ERROR "PCRE2 is missing: run scripts/deps.sh")
endif()
target_include_directories(${ZEM_TEST_TARGET} SYSTEM PRIVATE "${ZEM_PCRE2_ROOT}/include")
target_compile_definitions(${ZEM_TEST_TARGET} PRIVATE PCRE2_STATIC PCRE2_CODE_UNIT_WIDTH=8)
target_link_libraries(${ZEM_TEST_TARGET} PRIVATE "${ZEM_PCRE2_ROOT}/lib/libpcre2-8.a")
