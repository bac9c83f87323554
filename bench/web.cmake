# bench_web: pdulink-web over HTTP with 100,000 rows in the outbox and the
# inbox, on SQLite and on a private PostgreSQL server (skipped where it
# cannot start): requests per second and p50/p99 latency of POST /messages
# and GET /inbox. A plain program: bench_web [requests] [clients].
if(TARGET pdulink-web)
  add_executable(bench_web ${CMAKE_CURRENT_LIST_DIR}/web.cpp)
  target_include_directories(bench_web PRIVATE ${CMAKE_SOURCE_DIR}/tests/web)
  target_link_libraries(bench_web PRIVATE pdulink_spool pdulink_testsupport Qt6::Core Threads::Threads)
  target_compile_definitions(bench_web PRIVATE PDULINK_WEB_BIN="$<TARGET_FILE:pdulink-web>")
  add_dependencies(bench_web pdulink-web)
endif()
