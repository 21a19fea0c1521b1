# The request tests start the helper dispatcher and the child_* clients: build
# them whenever the test program is built.
foreach(target zem.vfs.dispatcher_wow64 zem_vfs_dispatcher_wow64 child_client child_decoy child_ids)
    if(TARGET ${target})
        add_dependencies(${ZEM_TEST_TARGET} ${target})
    endif()
endforeach()
