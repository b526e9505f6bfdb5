# File and process utilities, task runner
orvo_test(utils_test SOURCES utils_test.cpp)

add_executable(orvo_leak_report_helper leak_report_helper.cpp)
target_link_libraries(orvo_leak_report_helper PRIVATE orvo_core)
orvo_test(worker_pool_test LABELS threads SOURCES worker_pool_test.cpp)
target_compile_definitions(worker_pool_test PRIVATE
  LEAK_REPORT_HELPER="$<TARGET_FILE:orvo_leak_report_helper>")
add_dependencies(worker_pool_test orvo_leak_report_helper)
