# registry tests

# The writer that durability and concurrency cases run as child processes.
add_executable(registry_writer registry_writer.cpp)
target_link_libraries(registry_writer PRIVATE orvo_core)
target_include_directories(registry_writer PRIVATE ${CMAKE_SOURCE_DIR})

orvo_test(registry_tests SOURCES
  registry_key_test.cpp
  registry_store_test.cpp
  registry_process_test.cpp
  registry_tool_test.cpp
  registry_child.cpp)
add_dependencies(registry_tests registry_writer orvo-reg)
target_compile_definitions(registry_tests PRIVATE
  ORVO_REGISTRY_WRITER="$<TARGET_FILE:registry_writer>"
  ORVO_REG_EXE="$<TARGET_FILE:orvo-reg>")

orvo_test(registry_thread_tests LABELS threads SOURCES registry_thread_test.cpp)
