# bench_spool: the database spool on SQLite and on a private PostgreSQL
# server: claims per second and inbox inserts per second on the library
# alone, and end-to-end rows per second through 1, 3 and 10 headless
# gateways on simulated phones (latency 0, fast mode). Prints a table.
# A plain program: bench_spool [rows per figure].
if(PDULINK_QT)
  add_executable(bench_spool ${CMAKE_CURRENT_LIST_DIR}/spool.cpp)
  target_link_libraries(bench_spool PRIVATE pdulink_spool pdulink_testsupport)
  target_compile_definitions(bench_spool PRIVATE PDULINK_CRASH_GATEWAY_BIN="$<TARGET_FILE:pdulink_crash_gateway>"
                             PDULINK_PHONE_BIN="$<TARGET_FILE:pdulink-phone>")
  add_dependencies(bench_spool pdulink_crash_gateway pdulink-phone)
endif()
