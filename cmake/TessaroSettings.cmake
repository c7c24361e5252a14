# Build-time settings: the only way the portal address, trust anchors, expected publisher and the
# launcher's own version enter the program. Nothing of this is read at run time.
set(TESSARO_PORTAL_BASE_ADDRESS "https://127.0.0.1:47443" CACHE STRING "Base address of the vendor portal")
set(TESSARO_TRUST_KEYS_FILE "${CMAKE_SOURCE_DIR}/tools/dev-keys/development-only-trust-keys.json"
    CACHE FILEPATH "JSON key set embedded as the built-in trust anchors")
set(TESSARO_EXPECTED_PUBLISHER "" CACHE STRING "Certificate subject that Authenticode signatures must name")
set(TESSARO_LAUNCHER_VERSION "1.0.2" CACHE STRING "The launcher's own version (major.minor.patch)")
option(TESSARO_DEVELOPMENT_BUILD "Allow the development key set (such a build is never released)" OFF)

if(NOT TESSARO_LAUNCHER_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "TESSARO_LAUNCHER_VERSION must be major.minor.patch, not '${TESSARO_LAUNCHER_VERSION}'")
endif()
set(TESSARO_VERSION_MAJOR ${CMAKE_MATCH_1})
set(TESSARO_VERSION_MINOR ${CMAKE_MATCH_2})
set(TESSARO_VERSION_PATCH ${CMAKE_MATCH_3})

if(NOT EXISTS "${TESSARO_TRUST_KEYS_FILE}")
  message(FATAL_ERROR "TESSARO_TRUST_KEYS_FILE does not exist: ${TESSARO_TRUST_KEYS_FILE}")
endif()
file(READ "${TESSARO_TRUST_KEYS_FILE}" TESSARO_TRUST_KEYS_TEXT)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${TESSARO_TRUST_KEYS_FILE}")
string(FIND "${TESSARO_TRUST_KEYS_TEXT}" ")tessaro_keys\"" TESSARO_DELIMITER_AT)
if(NOT TESSARO_DELIMITER_AT EQUAL -1)
  message(FATAL_ERROR "The key set file contains the raw-string delimiter and cannot be embedded.")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/TessaroKeySet.cmake")
tessaro_check_key_set("${TESSARO_TRUST_KEYS_FILE}"
                      "${CMAKE_SOURCE_DIR}/tools/dev-keys/development-only-trust-keys.json"
                      "${TESSARO_DEVELOPMENT_BUILD}")
if(TESSARO_DEVELOPMENT_BUILD)
  message(WARNING "TESSARO_DEVELOPMENT_BUILD is ON: this build is NOT for release.")
endif()

set(TESSARO_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
configure_file("${CMAKE_SOURCE_DIR}/src/resources/build_config.hpp.in" "${TESSARO_GENERATED_DIR}/build_config.hpp" @ONLY)
