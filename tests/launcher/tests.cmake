# The launcher tests run real launcher executables: TESSARO.exe of this build, a variant of it with
# launcher version 1.0.3, two stand-ins, and signed releases of them all.
foreach(tool launcher_driver launcher_standin)
  add_executable(${tool} "${CMAKE_CURRENT_LIST_DIR}/${tool}.cpp")
  target_include_directories(${tool} PRIVATE "${CMAKE_CURRENT_LIST_DIR}")
  target_link_libraries(${tool} PRIVATE TESSARO_settings tessaro_shell tessaro_windows_msvcrt)
  target_link_options(${tool} PRIVATE -municode -static -static-libgcc -static-libstdc++)
  set_target_properties(${tool} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
endforeach()

# TESSARO.exe once more, with launcher version 1.0.3: same objects, same settings otherwise.
tessaro_add_launcher_variant(NAME tessaro_launcher_1_0_3 VERSION 1.0.3
  OUTPUT_DIR "${CMAKE_BINARY_DIR}/launcher-1.0.3/bin")
add_dependencies(launcher_tests launcher_driver launcher_standin tessaro_launcher_1_0_3)

set(TESSARO_LAUNCHER_TESTS_DIR "${CMAKE_BINARY_DIR}/launcher-tests")
add_test(NAME fixture.launcher_variants
  COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/launcher_variants.py" --binary-dir "${CMAKE_BINARY_DIR}"
          --source-dir "${CMAKE_SOURCE_DIR}" --out "${TESSARO_LAUNCHER_TESTS_DIR}/variants")
set_tests_properties(fixture.launcher_variants PROPERTIES
  FIXTURES_SETUP launcher_variants FIXTURES_REQUIRED wine_links
  LABELS launcher TIMEOUT 300)

# Tests offer a launcher release by placing a variant's two files in the portal's data folder and
# withdraw it afterwards (by default the portal offers none).
include("${CMAKE_SOURCE_DIR}/tests/portal/portal_fixture.cmake")
tessaro_add_portal_fixture(NAME devportal)
set(launcher_FIXTURE devportal)

# Every launcher test also needs the variants, holds the portal (its launcher files and fault switches)
# and keeps the desktop lock; the properties are set once discovery has named the tests.
tessaro_discovered_test_properties(TARGET launcher_tests PROPERTIES
  FIXTURES_REQUIRED "devportal;launcher_variants" RESOURCE_LOCK "desktop;devportal")
