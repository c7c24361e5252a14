# The launcher tests run real launcher executables: TESSARO.exe of this build, a second build of it with
# launcher version 1.0.3 (made only when these tests run), two stand-ins, and signed releases of them all.
foreach(tool launcher_driver launcher_standin)
  add_executable(${tool} "${CMAKE_CURRENT_LIST_DIR}/${tool}.cpp")
  target_include_directories(${tool} PRIVATE "${CMAKE_CURRENT_LIST_DIR}")
  target_link_libraries(${tool} PRIVATE tessaro_shell tessaro_windows_msvcrt)
  target_link_options(${tool} PRIVATE -municode -static -static-libgcc -static-libstdc++)
  set_target_properties(${tool} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
endforeach()
add_dependencies(launcher_tests launcher_driver launcher_standin)

# TESSARO.exe once more, with launcher version 1.0.3: same sources, same settings otherwise.
include(ExternalProject)
ExternalProject_Add(tessaro_launcher_1_0_3
  SOURCE_DIR "${CMAKE_SOURCE_DIR}"
  BINARY_DIR "${CMAKE_BINARY_DIR}/launcher-1.0.3"
  CMAKE_GENERATOR Ninja
  CMAKE_ARGS "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
    "-DTESSARO_DEVELOPMENT_BUILD=${TESSARO_DEVELOPMENT_BUILD}"
    -DTESSARO_LAUNCHER_VERSION=1.0.3 "-DTESSARO_PORTAL_BASE_ADDRESS=${TESSARO_PORTAL_BASE_ADDRESS}"
    "-DTESSARO_TRUST_KEYS_FILE=${TESSARO_TRUST_KEYS_FILE}"
    "-DTESSARO_EXPECTED_PUBLISHER=${TESSARO_EXPECTED_PUBLISHER}"
  BUILD_COMMAND "${CMAKE_COMMAND}" --build <BINARY_DIR> --target TESSARO -j 2
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  EXCLUDE_FROM_ALL ON)

set(TESSARO_LAUNCHER_TESTS_DIR "${CMAKE_BINARY_DIR}/launcher-tests")
add_test(NAME fixture.launcher_build_1_0_3
  COMMAND "${CMAKE_COMMAND}" --build "${CMAKE_BINARY_DIR}" --target tessaro_launcher_1_0_3)
set_tests_properties(fixture.launcher_build_1_0_3 PROPERTIES
  FIXTURES_SETUP launcher_build FIXTURES_REQUIRED wine_links LABELS launcher TIMEOUT 1800)
add_test(NAME fixture.launcher_variants
  COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/launcher_variants.py" --binary-dir "${CMAKE_BINARY_DIR}"
          --source-dir "${CMAKE_SOURCE_DIR}" --out "${TESSARO_LAUNCHER_TESTS_DIR}/variants")
set_tests_properties(fixture.launcher_variants PROPERTIES
  FIXTURES_SETUP launcher_variants FIXTURES_REQUIRED "launcher_build;wine_links"
  LABELS launcher TIMEOUT 300)

# Tests offer a launcher release by placing a variant's two files in the portal's data folder and
# withdraw it afterwards (by default the portal offers none).
include("${CMAKE_SOURCE_DIR}/tests/portal/portal_fixture.cmake")
tessaro_add_portal_fixture(NAME devportal)
set(launcher_FIXTURE devportal)

# Every launcher test also needs the variants, holds the portal (its launcher files and fault switches)
# and keeps the desktop lock; the properties are set once discovery has named the tests.
set(TESSARO_LAUNCHER_PROPERTIES_FILE "${CMAKE_CURRENT_BINARY_DIR}/launcher_tests_properties.cmake")
file(WRITE "${TESSARO_LAUNCHER_PROPERTIES_FILE}" "
function(tessaro_launcher_test_properties variable access value)
  if(access STREQUAL \"MODIFIED_ACCESS\")
    foreach(test IN LISTS value)
      set_tests_properties(\"\${test}\" PROPERTIES FIXTURES_REQUIRED \"devportal;launcher_variants\"
        RESOURCE_LOCK \"desktop;devportal\")
    endforeach()
  endif()
endfunction()
variable_watch(launcher_tests_TESTS tessaro_launcher_test_properties)
")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${TESSARO_LAUNCHER_PROPERTIES_FILE}")
