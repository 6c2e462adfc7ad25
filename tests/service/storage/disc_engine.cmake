# The disc I/O engine on the simulated unit with real UDF volumes.
kelva_add_test(disc_engine_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/disc_engine_fixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/disc_engine_test.cpp
  LIBS kelva_storage kelva_unit kelva_udf kelva_emulator)
