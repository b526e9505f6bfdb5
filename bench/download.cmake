# Download benchmark: a sendfile server, the downloader, and a measuring wrapper.
add_executable(bench_download_server ${CMAKE_CURRENT_LIST_DIR}/download_server.cpp)
target_link_libraries(bench_download_server PRIVATE Threads::Threads)
add_executable(bench_download_client ${CMAKE_CURRENT_LIST_DIR}/download_client.cpp)
target_link_libraries(bench_download_client PRIVATE orvo_core)
add_executable(bench_run_measured ${CMAKE_CURRENT_LIST_DIR}/run_measured.cpp)
