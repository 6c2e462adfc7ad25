# The unit monitor, the health checks and suspend and resume, on the simulated unit.
kelva_add_test(unit_monitor_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/controller_fixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unit_monitor_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unit_power_test.cpp
  LIBS kelva_udf kelva_unit kelva_emulator)
