# bench_quiet_turn: the shipped pdulink --headless reading the simulated
# phone once a second with nothing to receive, default and fast mode: CPU per
# quiet turn and per idle minute, wake-ups and writes per turn, from /proc of
# the gateway's process. A plain program: bench_quiet_turn [seconds per mode].
if(PDULINK_QT)
  add_executable(bench_quiet_turn ${CMAKE_CURRENT_LIST_DIR}/quiet_turn.cpp)
  target_link_libraries(bench_quiet_turn PRIVATE pdulink_testsupport)
  target_compile_definitions(bench_quiet_turn PRIVATE PDULINK_BIN="$<TARGET_FILE:pdulink>"
                             PDULINK_PHONE_BIN="$<TARGET_FILE:pdulink-phone>")
  add_dependencies(bench_quiet_turn pdulink pdulink-phone)
endif()
