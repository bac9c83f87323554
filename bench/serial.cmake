# Serial link: the cost of an open, silent port and the delay from a burst's
# last byte to its cluster event. A plain program: bench_serial_idle [seconds].
add_executable(bench_serial_idle ${CMAKE_CURRENT_LIST_DIR}/serial_idle.cpp)
target_link_libraries(bench_serial_idle PRIVATE pdulink_serial pdulink_testsupport util)
