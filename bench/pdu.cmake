# bench_pdu: decoder and user-data builder throughput.
file(GLOB _pdu_bench_sources ${CMAKE_CURRENT_LIST_DIR}/pdu_*.cpp)
add_executable(bench_pdu ${_pdu_bench_sources})
target_link_libraries(bench_pdu PRIVATE pdulink_pdu benchmark::benchmark_main)
