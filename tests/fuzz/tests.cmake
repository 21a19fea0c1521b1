target_link_libraries(${ZEM_TEST_TARGET} PRIVATE ws2_32 psapi)
