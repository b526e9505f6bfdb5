# bench/md5.sh: GetFileHexMd5 of one host file.
add_executable(orvo_bench_md5 ${CMAKE_CURRENT_LIST_DIR}/md5.cpp)
target_link_libraries(orvo_bench_md5 PRIVATE orvo_core)
