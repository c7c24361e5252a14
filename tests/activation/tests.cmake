# The activation tests install published test-application packages; they are built once per change of
# the test application.
add_dependencies(activation_tests tessaro_testapp)
add_test(NAME fixture.activation_packages
  COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/activation/make-packages.sh"
          "${CMAKE_BINARY_DIR}/testapp/appTESSARO.exe" "${CMAKE_BINARY_DIR}/activation-packages")
set_tests_properties(fixture.activation_packages PROPERTIES FIXTURES_SETUP activation_packages
  FIXTURES_REQUIRED wine_links ENVIRONMENT "WINEPREFIX=${TESSARO_WINEPREFIX}" TIMEOUT 300)
set(activation_FIXTURE activation_packages)

# The slow tests wait out the product's time-outs.
set(activation_WAITING "[.]Slow")
# They leave applications running or wait for none to run: in a prefix of their own they neither see
# nor hold up the applications of the other tests, and need not wait for the desktop.
set(activation_APART "[.]Slow")
