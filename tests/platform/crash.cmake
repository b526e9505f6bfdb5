# crash tests
# The probe is a test-only program that crashes on purpose under the real crash filter.
add_executable(crash_probe crash_probe.cpp)
target_link_libraries(crash_probe PRIVATE orvo_core)

orvo_test(crash_dump_test SOURCES crash_dump_test.cpp)
add_dependencies(crash_dump_test crash_probe)
target_compile_definitions(crash_dump_test PRIVATE CRASH_PROBE_PATH="$<TARGET_FILE:crash_probe>")
