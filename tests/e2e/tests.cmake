# The install end to end: the development portal serving releases of the test application (added by
# make_e2e_portal_data.py as the portal's data hook) and, for the free-space boundary, two tmpfs
# folders whose free space is known to the byte.
set(TESSARO_E2E_DIR "${CMAKE_BINARY_DIR}/e2e")
add_dependencies(e2e_tests tessaro_testapp)

file(GENERATE OUTPUT "${TESSARO_E2E_DIR}/portal-data-hook.sh"
  CONTENT "#!/bin/sh
exec /usr/bin/python3 \"${CMAKE_CURRENT_LIST_DIR}/make_e2e_portal_data.py\" --app \"$<TARGET_FILE:tessaro_testapp>\" \\
  --cache \"${TESSARO_E2E_DIR}/portal-cache\" \"$@\"
"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include("${CMAKE_SOURCE_DIR}/tests/portal/portal_fixture.cmake")
tessaro_add_portal_fixture(NAME devportal DATA_HOOK "${TESSARO_E2E_DIR}/portal-data-hook.sh")
set(e2e_FIXTURE devportal)

set(TESSARO_E2E_SPACE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/free-space-tmpfs.sh")
add_test(NAME fixture.e2e_free_space
  COMMAND sh "${TESSARO_E2E_SPACE_SCRIPT}" mount "${TESSARO_E2E_DIR}/free-space.json"
          "${TESSARO_E2E_DIR}/portal-cache/free-space-bytes")
set_tests_properties(fixture.e2e_free_space PROPERTIES FIXTURES_SETUP e2e_free_space
  FIXTURES_REQUIRED devportal LABELS e2e TIMEOUT 60 ENVIRONMENT "WINEPREFIX=${TESSARO_WINEPREFIX}")
add_test(NAME fixture.e2e_free_space_unmount
  COMMAND sh "${TESSARO_E2E_SPACE_SCRIPT}" umount "${TESSARO_E2E_DIR}/free-space.json")
set_tests_properties(fixture.e2e_free_space_unmount PROPERTIES FIXTURES_CLEANUP e2e_free_space
  LABELS e2e TIMEOUT 60 ENVIRONMENT "WINEPREFIX=${TESSARO_WINEPREFIX}")

# Every test holds the portal (fault switches, request log) and the desktop lock: each install runs the
# test application's preflight, and an "appTESSARO.exe" of this user must not appear in another
# subsystem's running-application checks (nor theirs in ours). Only the free-space tests mount.
tessaro_discovered_test_properties(TARGET e2e_tests PROPERTIES
  FIXTURES_REQUIRED devportal RESOURCE_LOCK "desktop;devportal")
tessaro_discovered_test_properties(TARGET e2e_tests MATCH "FreeSpace" PROPERTIES
  FIXTURES_REQUIRED "devportal;e2e_free_space")
