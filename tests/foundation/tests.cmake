# The instance mutexes are the user's own, shared with every TESSARO.exe and helper that other
# subsystems' tests start; their tests hold the lock those tests hold.
tessaro_discovered_test_properties(TARGET foundation_tests MATCH "^InstanceMutex[.]" PROPERTIES RESOURCE_LOCK desktop)

add_test(NAME foundation.no_standard_disk_calls
  COMMAND /bin/sh "${CMAKE_CURRENT_SOURCE_DIR}/foundation/no-standard-disk-calls.sh" "${CMAKE_SOURCE_DIR}")
set_tests_properties(foundation.no_standard_disk_calls PROPERTIES LABELS foundation TIMEOUT 60)
