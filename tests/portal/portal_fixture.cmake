# The development portal as one CTest fixture for every subsystem whose tests talk to the portal.
# The program's portal address is compiled in, so a build tree has exactly one portal: on the port
# of TESSARO_PORTAL_BASE_ADDRESS, with its files in ${CMAKE_BINARY_DIR}/devportal (certs/ca.pem,
# data/, portal.log, browser.log; see portal-fixture.sh).
include_guard(GLOBAL)

set(TESSARO_PORTAL_STATE_DIR "${CMAKE_BINARY_DIR}/devportal")

# tessaro_add_portal_fixture(NAME <fixture> [DATA_HOOK <script>])
# The first call adds the tests <fixture>.start (FIXTURES_SETUP; requires wine_links) and
# <fixture>.stop (FIXTURES_CLEANUP). Later calls must use the same NAME; they only add their
# DATA_HOOK, a script run with the data folder as its argument before the portal starts (e.g. to
# publish further releases with tools/publisher/tessaro_publish.py).
function(tessaro_add_portal_fixture)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;DATA_HOOK" "")
  if(NOT arg_NAME)
    message(FATAL_ERROR "tessaro_add_portal_fixture: NAME is required")
  endif()
  get_property(existing GLOBAL PROPERTY TESSARO_PORTAL_FIXTURE)
  if(existing AND NOT existing STREQUAL arg_NAME)
    message(FATAL_ERROR "tessaro_add_portal_fixture: the portal fixture is already '${existing}'; "
                        "one portal per build tree, require that fixture instead of '${arg_NAME}'")
  endif()
  if(NOT existing)
    if(NOT TESSARO_PORTAL_BASE_ADDRESS MATCHES "^https://(127\\.0\\.0\\.1|localhost)(:([0-9]+))?/?$")
      message(FATAL_ERROR "The development portal runs on loopback only; TESSARO_PORTAL_BASE_ADDRESS "
                          "'${TESSARO_PORTAL_BASE_ADDRESS}' is not https://127.0.0.1:<port>")
    endif()
    set(port 443)
    if(CMAKE_MATCH_3)
      set(port ${CMAKE_MATCH_3})
    endif()
    set(script "${CMAKE_SOURCE_DIR}/tests/portal/portal-fixture.sh")
    add_test(NAME ${arg_NAME}.start COMMAND "${script}" start "${TESSARO_PORTAL_STATE_DIR}" ${port})
    set_tests_properties(${arg_NAME}.start PROPERTIES FIXTURES_SETUP ${arg_NAME} FIXTURES_REQUIRED wine_links
      TIMEOUT 300 ENVIRONMENT "WINEPREFIX=${TESSARO_WINEPREFIX}")
    add_test(NAME ${arg_NAME}.stop COMMAND "${script}" stop "${TESSARO_PORTAL_STATE_DIR}")
    set_tests_properties(${arg_NAME}.stop PROPERTIES FIXTURES_CLEANUP ${arg_NAME} TIMEOUT 60)
    set_property(GLOBAL PROPERTY TESSARO_PORTAL_FIXTURE ${arg_NAME})
  endif()
  if(arg_DATA_HOOK)
    get_property(hooks GLOBAL PROPERTY TESSARO_PORTAL_DATA_HOOKS)
    list(LENGTH hooks index)
    set_property(GLOBAL APPEND PROPERTY TESSARO_PORTAL_DATA_HOOKS "${arg_DATA_HOOK}")
    set_property(TEST ${arg_NAME}.start APPEND PROPERTY ENVIRONMENT
      "TESSARO_PORTAL_DATA_HOOK_${index}=${arg_DATA_HOOK}")
  endif()
endfunction()

# tessaro_lock_portal_tests(TARGET <gtest target>)
# Fault switches, settings and the request log are the portal's shared state, so tests that use
# them must not overlap: every discovered test of TARGET holds the CTest resource lock "devportal".
# Tests named BrowserSignIn.* also hold "loopback_43872" (the fixed sign-in port); tests whose name
# starts with "Slow" hold only the port lock. Call it before gtest_discover_tests.
function(tessaro_lock_portal_tests)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TARGET" "")
  tessaro_discovered_test_properties(TARGET ${arg_TARGET} EXCEPT "^Slow" PROPERTIES RESOURCE_LOCK devportal)
  tessaro_discovered_test_properties(TARGET ${arg_TARGET} MATCH "^Slow|^BrowserSignIn[.]"
    PROPERTIES RESOURCE_LOCK loopback_43872)
endfunction()
