# The instance mutexes are the user's own, shared with every TESSARO.exe and helper that other
# subsystems' tests start; their tests hold the lock those tests hold.
tessaro_discovered_test_properties(TARGET foundation_tests MATCH "^InstanceMutex[.]" PROPERTIES RESOURCE_LOCK desktop)
