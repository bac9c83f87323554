# bench_replies: the pure reply parsers of the command dialogue.
if(TARGET pdulink_dialogue)
  add_executable(bench_replies ${CMAKE_CURRENT_LIST_DIR}/replies_calls.cpp)
  target_link_libraries(bench_replies PRIVATE pdulink_dialogue benchmark::benchmark_main)
endif()
