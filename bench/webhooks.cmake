# bench_webhooks: pdulink-web delivering webhooks to a local receiver that
# answers at once, on SQLite and on a private PostgreSQL server (skipped
# where it cannot start): events per second with one sender and with many,
# and the delay from a message reaching the simulated phone (a gateway with
# Indications=1) to its webhook. A plain program: bench_webhooks [events] [messages].
if(TARGET pdulink-web)
  add_executable(bench_webhooks ${CMAKE_CURRENT_LIST_DIR}/webhooks.cpp)
  target_include_directories(bench_webhooks PRIVATE ${CMAKE_SOURCE_DIR}/tests/web)
  target_link_libraries(bench_webhooks PRIVATE pdulink_spool pdulink_testsupport Qt6::Core Threads::Threads)
  target_compile_definitions(bench_webhooks PRIVATE PDULINK_WEB_BIN="$<TARGET_FILE:pdulink-web>"
                             PDULINK_BIN="$<TARGET_FILE:pdulink>" PDULINK_PHONE_BIN="$<TARGET_FILE:pdulink-phone>")
  add_dependencies(bench_webhooks pdulink-web pdulink pdulink-phone)
endif()
