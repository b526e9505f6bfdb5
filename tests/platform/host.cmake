orvo_test(host_tests SOURCES host_test.cpp)
orvo_add_resource(host_tests CUSTOM 134 ${CMAKE_SOURCE_DIR}/tests/data/platform/hello_resource.txt)
