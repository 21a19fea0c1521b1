# The request tests start the helper dispatcher and child_client.
foreach(target zem_vfs_dispatcher_wow64 child_client)
    if(TARGET ${target})
        add_dependencies(${ZEM_TEST_TARGET} ${target})
    endif()
endforeach()
