# The window tests run the real TESSARO.exe in the prefix user's account against the development portal
# (with the end-to-end releases of the test application) and install published test packages directly;
# the version-list tests use those packages too.
include("${CMAKE_SOURCE_DIR}/tests/portal/portal_fixture.cmake")
tessaro_add_portal_fixture(NAME devportal)
add_dependencies(shell_tests tessaro_testapp)

# A signed launcher release of this build's TESSARO.exe: setup at the end of an install accepts only
# an executable the portal has released. The tests put it in the portal's data folder while they run.
set(TESSARO_SHELL_LAUNCHER_OFFER "${CMAKE_BINARY_DIR}/shell-tests/launcher-offer")
add_test(NAME fixture.shell_launcher_release
  COMMAND /usr/bin/python3 "${CMAKE_SOURCE_DIR}/tools/publisher/tessaro_publish.py" launcher
          --data "${TESSARO_SHELL_LAUNCHER_OFFER}" --exe "$<TARGET_FILE:TESSARO>"
          --version "${TESSARO_LAUNCHER_VERSION}" --build-id window-tests --authenticode-policy unsigned)
set_tests_properties(fixture.shell_launcher_release PROPERTIES FIXTURES_SETUP shell_launcher_release
  LABELS shell TIMEOUT 120)

# Every window round trip goes through the one wineserver of the prefix: while the archive tests of
# other subsystems keep it busy, a window test can take minutes, hence the longer time-out.
tessaro_discovered_test_properties(TARGET shell_tests MATCH "^ManagerWindow[.]" PROPERTIES
  FIXTURES_REQUIRED "devportal;activation_packages;shell_launcher_release"
  RESOURCE_LOCK "desktop;devportal;loopback_43872" TIMEOUT 900)
tessaro_discovered_test_properties(TARGET shell_tests MATCH "^VersionList[.]" PROPERTIES
  FIXTURES_REQUIRED activation_packages)

add_test(NAME shell.ReleasedLauncherCanBeComparedWithItsBuild
  COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/release_check.py" "$<TARGET_FILE:TESSARO>"
          "${CMAKE_BINARY_DIR}/release-check")
set_tests_properties(shell.ReleasedLauncherCanBeComparedWithItsBuild PROPERTIES LABELS "shell;python" TIMEOUT 120)
