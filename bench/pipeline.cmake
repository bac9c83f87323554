# bench_pipeline: the whole gateway against the simulated phone on a
# pseudo-terminal, default and fast mode, at two phone latencies; prints a
# table. A plain program: bench_pipeline [round trips] ["row name"].
if(PDULINK_QT)
  add_executable(bench_pipeline ${CMAKE_CURRENT_LIST_DIR}/pipeline.cpp)
  target_link_libraries(bench_pipeline PRIVATE pdulink_app pdulink_testsupport)
  target_compile_definitions(bench_pipeline PRIVATE PDULINK_PHONE_BIN="$<TARGET_FILE:pdulink-phone>")
  add_dependencies(bench_pipeline pdulink-phone)
endif()
