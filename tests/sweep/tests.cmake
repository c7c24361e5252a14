# The kill-point sweep (label "sweep"): two kill-point variants of TESSARO.exe, which end themselves
# before the n-th change named in their environment, the driver that runs every operation at every
# kill point, and run-sweep.sh, which gives the driver its own copies of the test prefix and its own
# portal (on the next port), so that the sweep shares no launcher-owned place with the other tests.
if(NOT TESSARO_PORTAL_BASE_ADDRESS MATCHES ":([0-9]+)/?$")
  message(FATAL_ERROR "the sweep needs a port in TESSARO_PORTAL_BASE_ADDRESS")
endif()
math(EXPR TESSARO_SWEEP_PORT "${CMAKE_MATCH_1} + 1")
set(TESSARO_SWEEP_PORTAL "https://127.0.0.1:${TESSARO_SWEEP_PORT}")
set(TESSARO_SWEEP_DIR "${CMAKE_BINARY_DIR}/sweep")

tessaro_add_launcher_variant(NAME tessaro_kill_points OUTPUT_DIR "${TESSARO_SWEEP_DIR}/bin"
  PORTAL "${TESSARO_SWEEP_PORTAL}" DEFINES TESSARO_KILL_POINTS)
tessaro_add_launcher_variant(NAME tessaro_kill_points_1_0_3 VERSION 1.0.3 OUTPUT_DIR "${TESSARO_SWEEP_DIR}/bin-1.0.3"
  PORTAL "${TESSARO_SWEEP_PORTAL}" DEFINES TESSARO_KILL_POINTS)
tessaro_add_settings(NAME sweep_settings PORTAL "${TESSARO_SWEEP_PORTAL}" SHORT_WAITS)

add_executable(sweep_driver "${CMAKE_CURRENT_LIST_DIR}/sweep_driver.cpp")
target_link_libraries(sweep_driver PRIVATE sweep_settings tessaro_test_support)
target_link_options(sweep_driver PRIVATE -municode -static -static-libgcc -static-libstdc++)
set_target_properties(sweep_driver PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${TESSARO_SWEEP_DIR}/bin")
add_dependencies(sweep_driver tessaro_kill_points tessaro_kill_points_1_0_3 tessaro_testapp)

# The portal's releases: the end-to-end releases of the test application and the 1.0.2 kill-point
# launcher as the launcher release; the 1.0.3 one is signed beside it for the replacement.
file(GENERATE OUTPUT "${TESSARO_SWEEP_DIR}/portal-data-hook.sh"
  CONTENT "#!/bin/sh
set -e
publish=\"/usr/bin/python3 ${CMAKE_SOURCE_DIR}/tools/publisher/tessaro_publish.py launcher --authenticode-policy unsigned\"
/usr/bin/python3 \"${CMAKE_SOURCE_DIR}/tests/e2e/make_e2e_portal_data.py\" --app \"$<TARGET_FILE:tessaro_testapp>\" \\
  --cache \"${TESSARO_SWEEP_DIR}/portal-cache\" \"$1\"
$publish --data \"$1\" --exe \"$<TARGET_FILE:tessaro_kill_points>\" --version 1.0.2 --build-id sweep >/dev/null
$publish --data \"${TESSARO_SWEEP_DIR}/launcher-1.0.3\" --exe \"$<TARGET_FILE:tessaro_kill_points_1_0_3>\" \\
  --version 1.0.3 --build-id sweep-1.0.3 >/dev/null
"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(TESSARO_SWEEP_SHARDS 4 CACHE STRING "Wine prefixes the kill-point sweep runs in side by side")
add_test(NAME sweep
  COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/run-sweep.sh" "${CMAKE_BINARY_DIR}" ${TESSARO_SWEEP_SHARDS}
          ${TESSARO_SWEEP_PORT})
# It starts first (COST): the whole run cannot end before it.
set_tests_properties(sweep PROPERTIES LABELS sweep TIMEOUT 1200 RESOURCE_GROUPS cpu:1 COST 20000
  ENVIRONMENT "TESSARO_PORTAL_DATA_HOOK_0=${TESSARO_SWEEP_DIR}/portal-data-hook.sh")
