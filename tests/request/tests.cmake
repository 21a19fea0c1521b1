# The request tests start the helper dispatcher.
if(TARGET zem_vfs_dispatcher_wow64)
    add_dependencies(${ZEM_TEST_TARGET} zem_vfs_dispatcher_wow64)
endif()
# The helper's request handlers are tested in process as well.
target_sources(${ZEM_TEST_TARGET} PRIVATE ${CMAKE_SOURCE_DIR}/tools/dispatcher/Handlers.cpp)
target_include_directories(${ZEM_TEST_TARGET} PRIVATE ${CMAKE_SOURCE_DIR}/tools)
