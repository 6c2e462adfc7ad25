# The unit controller, its conditions, files and disc volume access, on the
# simulated unit.
kelva_add_test(unit_controller_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/condition_table_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unit_files_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/repair_log_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/controller_fixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unit_controller_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unit_conditions_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/disc_volume_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/disc_volume_udf_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/disc_repair_udf_test.cpp
  LIBS kelva_udf kelva_unit kelva_emulator)
