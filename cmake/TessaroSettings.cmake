# Build-time settings: the only way the portal address, trust anchors, expected publisher and the
# launcher's own version enter the program. Nothing of this is read at run time.
set(TESSARO_PORTAL_BASE_ADDRESS "https://127.0.0.1:47443" CACHE STRING "Base address of the vendor portal")
set(TESSARO_TRUST_KEYS_FILE "${CMAKE_SOURCE_DIR}/tools/dev-keys/development-only-trust-keys.json"
    CACHE FILEPATH "JSON key set embedded as the built-in trust anchors")
set(TESSARO_EXPECTED_PUBLISHER "" CACHE STRING "Certificate subject that Authenticode signatures must name")
set(TESSARO_LAUNCHER_VERSION "1.0.2" CACHE STRING "The launcher's own version (major.minor.patch)")
option(TESSARO_DEVELOPMENT_BUILD "Allow the development key set (such a build is never released)" OFF)

include("${CMAKE_CURRENT_LIST_DIR}/TessaroKeySet.cmake")
if(TESSARO_DEVELOPMENT_BUILD)
  message(WARNING "TESSARO_DEVELOPMENT_BUILD is ON: this build is NOT for release.")
endif()

set(TESSARO_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
set(TESSARO_RESOURCES_DIR "${CMAKE_SOURCE_DIR}/src/resources")

# The notices travel as a resource in UTF-8 with CRLF line ends, exactly as they are written out.
file(READ "${TESSARO_RESOURCES_DIR}/third-party-notices.txt" TESSARO_NOTICES_TEXT)
string(REPLACE "\r\n" "\n" TESSARO_NOTICES_TEXT "${TESSARO_NOTICES_TEXT}")
file(CONFIGURE OUTPUT "${TESSARO_GENERATED_DIR}/third-party-notices.txt" CONTENT "${TESSARO_NOTICES_TEXT}" @ONLY
     NEWLINE_STYLE CRLF)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${TESSARO_RESOURCES_DIR}/third-party-notices.txt")

# tessaro_add_settings(NAME <target> [VERSION <major.minor.patch>] [KEYS <key set file>]
#                      [PUBLISHER <subject>] [PORTAL <address>] [DEFINES <definitions>...] [SHORT_WAITS])
# An object library with one settings unit (build_settings.cpp.in): what a program links instead of
# reading settings at run time. Omitted values are the cache settings above. DEFINES are compile
# definitions of that unit only; SHORT_WAITS gives it the short time-outs of the test programs.
function(tessaro_add_settings)
  cmake_parse_arguments(PARSE_ARGV 0 arg "SHORT_WAITS" "NAME;VERSION;KEYS;PUBLISHER;PORTAL" "DEFINES")
  foreach(setting VERSION KEYS PUBLISHER PORTAL)
    if(NOT DEFINED arg_${setting})
      set(arg_${setting} "${TESSARO_DEFAULT_${setting}}")
    endif()
  endforeach()
  if(NOT arg_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "${arg_NAME}: the launcher version must be major.minor.patch, not '${arg_VERSION}'")
  endif()
  if(NOT EXISTS "${arg_KEYS}")
    message(FATAL_ERROR "${arg_NAME}: the key set file does not exist: ${arg_KEYS}")
  endif()
  tessaro_check_key_set("${arg_KEYS}" "${CMAKE_SOURCE_DIR}/tools/dev-keys/development-only-trust-keys.json"
                        "${TESSARO_DEVELOPMENT_BUILD}")
  file(READ "${arg_KEYS}" TESSARO_VARIANT_KEYS_TEXT)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${arg_KEYS}")
  string(FIND "${TESSARO_VARIANT_KEYS_TEXT}" ")tessaro_keys\"" delimiter_at)
  if(NOT delimiter_at EQUAL -1)
    message(FATAL_ERROR "${arg_NAME}: the key set file contains the raw-string delimiter and cannot be embedded.")
  endif()
  set(TESSARO_VARIANT_NAME "${arg_NAME}")
  set(TESSARO_VARIANT_VERSION "${arg_VERSION}")
  set(TESSARO_VARIANT_PUBLISHER "${arg_PUBLISHER}")
  set(TESSARO_VARIANT_PORTAL "${arg_PORTAL}")
  set(source "${TESSARO_GENERATED_DIR}/variants/${arg_NAME}/build_settings.cpp")
  configure_file("${TESSARO_RESOURCES_DIR}/build_settings.cpp.in" "${source}" @ONLY)
  add_library(${arg_NAME} OBJECT "${source}")
  target_include_directories(${arg_NAME} PRIVATE "${TESSARO_RESOURCES_DIR}")
  target_compile_definitions(${arg_NAME} PRIVATE ${arg_DEFINES})
  if(arg_SHORT_WAITS)
    target_compile_definitions(${arg_NAME} PRIVATE TESSARO_SHORT_WAITS)
  endif()
endfunction()

# tessaro_add_launcher_variant(NAME <target> [OUTPUT_DIR <folder>] <settings as for tessaro_add_settings>)
# A TESSARO.exe (in OUTPUT_DIR, default <build>/bin) made of the shared objects of this build tree, its
# own settings unit and its own version resource: a variant costs two small compiles and a link.
function(tessaro_add_launcher_variant)
  cmake_parse_arguments(PARSE_ARGV 0 arg "SHORT_WAITS" "NAME;OUTPUT_DIR;VERSION;KEYS;PUBLISHER;PORTAL" "DEFINES")
  set(forwarded)
  foreach(setting VERSION KEYS PUBLISHER PORTAL)
    if(NOT "${arg_${setting}}" STREQUAL "")
      list(APPEND forwarded ${setting} "${arg_${setting}}")
    endif()
  endforeach()
  if(arg_SHORT_WAITS)
    list(APPEND forwarded SHORT_WAITS)
  endif()
  tessaro_add_settings(NAME ${arg_NAME}_settings ${forwarded} DEFINES ${arg_DEFINES})
  if(NOT arg_VERSION)
    set(arg_VERSION "${TESSARO_DEFAULT_VERSION}")
  endif()
  if(NOT arg_OUTPUT_DIR)
    set(arg_OUTPUT_DIR "${CMAKE_BINARY_DIR}/bin")
  endif()
  set(TESSARO_VARIANT_NAME "${arg_NAME}")
  set(TESSARO_VARIANT_VERSION "${arg_VERSION}")
  string(REPLACE "." "," TESSARO_VARIANT_FILE_VERSION "${arg_VERSION}")
  set(resource "${TESSARO_GENERATED_DIR}/variants/${arg_NAME}/version.rc")
  configure_file("${TESSARO_RESOURCES_DIR}/version.rc.in" "${resource}" @ONLY)
  file(GLOB resource_files CONFIGURE_DEPENDS "${TESSARO_RESOURCES_DIR}/*")
  set_source_files_properties("${resource}" PROPERTIES OBJECT_DEPENDS
    "${resource_files};${TESSARO_GENERATED_DIR}/third-party-notices.txt")
  add_executable(${arg_NAME} WIN32 "${resource}")
  target_link_libraries(${arg_NAME} PRIVATE tessaro_main ${arg_NAME}_settings tessaro_shell)
  # No link time in the header: the same commit links to the same bytes wherever it is built, so a
  # released executable can be rebuilt and compared with the signed one.
  target_link_options(${arg_NAME} PRIVATE -municode -static -static-libgcc -static-libstdc++
    -Wl,--no-insert-timestamp)
  set_target_properties(${arg_NAME} PROPERTIES OUTPUT_NAME TESSARO RUNTIME_OUTPUT_DIRECTORY "${arg_OUTPUT_DIR}")
endfunction()

set(TESSARO_DEFAULT_VERSION "${TESSARO_LAUNCHER_VERSION}")
set(TESSARO_DEFAULT_KEYS "${TESSARO_TRUST_KEYS_FILE}")
set(TESSARO_DEFAULT_PUBLISHER "${TESSARO_EXPECTED_PUBLISHER}")
set(TESSARO_DEFAULT_PORTAL "${TESSARO_PORTAL_BASE_ADDRESS}")
