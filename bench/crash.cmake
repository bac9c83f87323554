# bench_crash: the crash run of tests/app with many more kills, both modes;
# prints what was lost, archived twice and sent twice. A plain program:
# bench_crash [kills] [seed].
if(PDULINK_QT)
  add_executable(bench_crash ${CMAKE_CURRENT_LIST_DIR}/crash_run.cpp)
  target_include_directories(bench_crash PRIVATE ${PROJECT_SOURCE_DIR}/tests/app)
  target_link_libraries(bench_crash PRIVATE pdulink_app pdulink_testsupport)
  target_compile_definitions(bench_crash PRIVATE PDULINK_CRASH_GATEWAY_BIN="$<TARGET_FILE:pdulink_crash_gateway>"
                             PDULINK_PHONE_BIN="$<TARGET_FILE:pdulink-phone>")
  add_dependencies(bench_crash pdulink_crash_gateway pdulink-phone)
endif()
