# The portal client's tests need the development portal (and the headless browser for sign-in).
include("${CMAKE_CURRENT_LIST_DIR}/portal_fixture.cmake")
tessaro_add_portal_fixture(NAME devportal)
tessaro_lock_portal_tests(TARGET portal_tests)
set(portal_FIXTURE devportal)
# The slow sign-in waits out its time-out.
set(portal_WAITING "^SlowBrowserSignIn[.]")
