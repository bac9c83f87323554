# bench_replies: the reply parsers the dialogue runs on every answer (built
# from their source, so it needs no Qt).
add_executable(bench_replies ${CMAKE_CURRENT_LIST_DIR}/replies_parse.cpp ${CMAKE_CURRENT_LIST_DIR}/replies_calls.cpp
               ${PROJECT_SOURCE_DIR}/src/dialogue/Replies.cpp ${PROJECT_SOURCE_DIR}/src/dialogue/ReplyGrammar.cpp
               ${PROJECT_SOURCE_DIR}/src/dialogue/UnsolicitedLines.cpp)
target_include_directories(bench_replies PRIVATE ${PROJECT_SOURCE_DIR}/src/dialogue)
target_link_libraries(bench_replies PRIVATE pdulink_pdu benchmark::benchmark_main)

# One AT command round trip through the real serial port, worker and command
# transaction against the simulated phone on a pseudo-terminal.
if(PDULINK_QT)
  add_executable(bench_at_round_trip ${CMAKE_CURRENT_LIST_DIR}/at_round_trip.cpp)
  target_link_libraries(bench_at_round_trip PRIVATE pdulink_app pdulink_testsupport benchmark::benchmark)
  target_compile_definitions(bench_at_round_trip PRIVATE PDULINK_PHONE_BIN="$<TARGET_FILE:pdulink-phone>")
  add_dependencies(bench_at_round_trip pdulink-phone)
endif()
