add_executable(unit_io_bench ${CMAKE_CURRENT_LIST_DIR}/unit_io_bench.cpp)
kelva_target_options(unit_io_bench)
target_link_libraries(unit_io_bench PRIVATE kelva_emulator kelva_unit benchmark::benchmark)
