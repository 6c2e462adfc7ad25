# Tests of the user-space UDF file system: image files formatted by the volume
# formatter, and discs of the simulated unit.
file(GLOB KELVA_UDF_FS_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fs/*_test.cpp)
kelva_add_test(platform_udf_fs_tests SOURCES ${KELVA_UDF_FS_TESTS}
               LIBS kelva_platform_udf kelva_udf kelva_unit kelva_emulator)
