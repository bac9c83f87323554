# One AT command round trip through the real serial port, worker and command
# transaction against the simulated phone on a pseudo-terminal.
if(PDULINK_QT)
  add_executable(bench_at_round_trip ${CMAKE_CURRENT_LIST_DIR}/at_round_trip.cpp)
  target_link_libraries(bench_at_round_trip PRIVATE pdulink_app pdulink_testsupport benchmark::benchmark)
  target_compile_definitions(bench_at_round_trip PRIVATE PDULINK_PHONE_BIN="$<TARGET_FILE:pdulink-phone>")
  add_dependencies(bench_at_round_trip pdulink-phone)
endif()
