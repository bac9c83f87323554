# bench_receiving: archive formatting of a full-length message, the listing
# parse of 200 messages, and ArchiveMessage with files on (offscreen Qt).
add_executable(bench_receiving ${CMAKE_CURRENT_LIST_DIR}/receiving_archive.cpp)
target_link_libraries(bench_receiving PRIVATE pdulink_operations pdulink_testsupport benchmark::benchmark)
