# The instance mutexes are the user's own, shared with every TESSARO.exe and helper that other
# subsystems' tests start; their tests hold the lock those tests hold.
set(TESSARO_FOUNDATION_PROPERTIES_FILE "${CMAKE_CURRENT_BINARY_DIR}/foundation_tests_properties.cmake")
file(WRITE "${TESSARO_FOUNDATION_PROPERTIES_FILE}" "
function(tessaro_foundation_test_properties variable access value)
  if(access STREQUAL \"MODIFIED_ACCESS\")
    foreach(test IN LISTS value)
      if(test MATCHES \"^InstanceMutex[.]\")
        set_tests_properties(\"\${test}\" PROPERTIES RESOURCE_LOCK desktop)
      endif()
    endforeach()
  endif()
endfunction()
variable_watch(foundation_tests_TESTS tessaro_foundation_test_properties)
")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${TESSARO_FOUNDATION_PROPERTIES_FILE}")

add_test(NAME foundation.no_standard_disk_calls
  COMMAND /bin/sh "${CMAKE_CURRENT_SOURCE_DIR}/foundation/no-standard-disk-calls.sh" "${CMAKE_SOURCE_DIR}")
set_tests_properties(foundation.no_standard_disk_calls PROPERTIES LABELS foundation TIMEOUT 60)
