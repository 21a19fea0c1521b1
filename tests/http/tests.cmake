# The HTTP client tests talk to real peers on loopback (openssl s_server,
# squid, dante), started before test_http and stopped after it, and run
# scripted plain and TLS servers of their own. The test program finds the
# peers' ports, and the certificate, through ZEM_HTTP_PEERS.
set(ZEM_HTTP_PEERS_DIR ${CMAKE_BINARY_DIR}/http_peers)
add_test(NAME http_peers_up COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/peers.sh up ${ZEM_HTTP_PEERS_DIR})
add_test(NAME http_peers_down
         COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/peers.sh down ${ZEM_HTTP_PEERS_DIR})
set_tests_properties(http_peers_up PROPERTIES FIXTURES_SETUP http_peers TIMEOUT 120)
set_tests_properties(http_peers_down PROPERTIES FIXTURES_CLEANUP http_peers TIMEOUT 60)
set_tests_properties(${ZEM_TEST_TARGET} PROPERTIES FIXTURES_REQUIRED "wine;http_peers")
set_property(TEST ${ZEM_TEST_TARGET} APPEND PROPERTY ENVIRONMENT
             "ZEM_HTTP_PEERS=Z:${ZEM_HTTP_PEERS_DIR}/ports.txt")

# Raw Winsock, the registry, and OpenSSL for the scripted TLS servers and MD5.
target_link_libraries(${ZEM_TEST_TARGET} PRIVATE ws2_32 advapi32 OpenSSL::SSL OpenSSL::Crypto)
