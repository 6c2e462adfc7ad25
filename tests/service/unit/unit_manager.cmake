# The unit manager on simulated units behind a fake device manager, the volume
# worker that identifies magazines, and the service core's binding to them.
kelva_add_test(unit_manager_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/fake_device_manager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/controller_fixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unit_manager_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/identifying_volume_worker_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unit_manager_binding_test.cpp
  LIBS kelva_core kelva_udf kelva_unit kelva_emulator)
