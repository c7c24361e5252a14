# Hostile archives, signed receipts and signed programs for the installation tests, made fresh in the
# build tree before they run (the 70,000-entry archive takes a few seconds to write).
add_test(NAME fixture.install
  COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/make_install_fixtures.py" --large
          --out "${CMAKE_BINARY_DIR}/install-fixtures" --exe "$<TARGET_FILE:install_tests>")
set_tests_properties(fixture.install PROPERTIES
  FIXTURES_SETUP install_fixtures FIXTURES_REQUIRED wine_links TIMEOUT 300 LABELS install)
set(install_FIXTURE install_fixtures)
# The large archives keep a wineserver busy for minutes: they get one of their own.
set(install_APART "^SlowExtractArchive[.]")
