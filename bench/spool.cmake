# bench_spool: the database spool on SQLite and on a private PostgreSQL
# server: claims per second and inbox inserts per second on the library
# alone, and end-to-end rows per second through 1 and 3 copies of the
# shipped program (headless, its own tick) on simulated phones (latency 0,
# fast and default mode) beside the phones' floor. Prints a table.
# A plain program: bench_spool [rows per figure].
if(PDULINK_QT)
  add_executable(bench_spool ${CMAKE_CURRENT_LIST_DIR}/spool.cpp)
  target_link_libraries(bench_spool PRIVATE pdulink_spool pdulink_testsupport)
  target_compile_definitions(bench_spool PRIVATE PDULINK_BIN="$<TARGET_FILE:pdulink>"
                             PDULINK_PHONE_BIN="$<TARGET_FILE:pdulink-phone>")
  add_dependencies(bench_spool pdulink pdulink-phone)
endif()
