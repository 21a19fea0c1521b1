# The request tests start the helper dispatcher.
if(TARGET zem_vfs_dispatcher_wow64)
    add_dependencies(${ZEM_TEST_TARGET} zem_vfs_dispatcher_wow64)
endif()
