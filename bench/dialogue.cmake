# bench_replies: the reply parsers the dialogue runs on every answer (built
# from their source, so it needs no Qt).
add_executable(bench_replies ${CMAKE_CURRENT_LIST_DIR}/replies_parse.cpp ${CMAKE_CURRENT_LIST_DIR}/replies_calls.cpp
               ${PROJECT_SOURCE_DIR}/src/dialogue/Replies.cpp)
target_include_directories(bench_replies PRIVATE ${PROJECT_SOURCE_DIR}/src/dialogue)
target_link_libraries(bench_replies PRIVATE pdulink_pdu benchmark::benchmark_main)
