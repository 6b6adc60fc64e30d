# Extra checks for the cross build that runs under qemu-arm.
if(NOT (CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm"))
  return()
endif()

# The register window's fence has to survive into the shipped machine code.
add_test(NAME armhf_barrier
         COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-arm-barrier.sh ${CMAKE_OBJDUMP}
                 $<TARGET_FILE:valdrixd>)

# ctest starts each test binary under the emulator, but a child that a test spawns
# is exec'd by the kernel, which runs ARM executables only when binfmt_misc knows
# qemu. Tests that start built executables put this emulator in front of them.
list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 valdrix_emulator)
find_program(VALDRIX_EMULATOR_PATH ${valdrix_emulator} REQUIRED)
get_property(valdrix_tests DIRECTORY PROPERTY TESTS)
set_property(TEST ${valdrix_tests} APPEND PROPERTY ENVIRONMENT
             "VALDRIX_EMULATOR=${VALDRIX_EMULATOR_PATH}")
