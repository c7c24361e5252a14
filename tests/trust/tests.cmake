# Envelopes and keys for the trust tests, made by the publisher tool itself before the tests run.
add_test(NAME fixture.trust_envelopes
  COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/make_envelope_fixtures.py" --out "${CMAKE_BINARY_DIR}/trust-fixtures")
set_tests_properties(fixture.trust_envelopes PROPERTIES
  FIXTURES_SETUP trust_envelopes FIXTURES_REQUIRED wine_links LABELS trust TIMEOUT 120)
set(trust_FIXTURE trust_envelopes)

# A launcher built from a key set file holding an empty array must refuse its self-test: a variant
# with that key set, checked by empty_trust_anchor_check.py.
tessaro_add_launcher_variant(NAME tessaro_empty_trust_keys KEYS "${CMAKE_CURRENT_LIST_DIR}/empty-trust-keys.json"
  OUTPUT_DIR "${CMAKE_BINARY_DIR}/trust-empty-keys/bin")
add_dependencies(trust_tests tessaro_empty_trust_keys)
add_test(NAME trust.EmptyTrustAnchorSelfTest
  COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/empty_trust_anchor_check.py"
          --exe "$<TARGET_FILE:tessaro_empty_trust_keys>" --build "${CMAKE_BINARY_DIR}")
set_tests_properties(trust.EmptyTrustAnchorSelfTest PROPERTIES
  FIXTURES_REQUIRED wine_links RESOURCE_LOCK desktop LABELS trust TIMEOUT 300)

# A copy of the development key set under another name still needs the development build switch.
configure_file("${CMAKE_SOURCE_DIR}/tools/dev-keys/development-only-trust-keys.json"
  "${CMAKE_BINARY_DIR}/trust-fixtures-keys/release-keys.json" COPYONLY)
add_test(NAME trust.DevelopmentKeySetElsewhereNeedsTheDevelopmentBuildSwitch
  COMMAND "${CMAKE_COMMAND}" "-DKEYS=${CMAKE_BINARY_DIR}/trust-fixtures-keys/release-keys.json"
    "-DDEVELOPMENT_KEYS=${CMAKE_SOURCE_DIR}/tools/dev-keys/development-only-trust-keys.json"
    -DDEVELOPMENT_BUILD=OFF -P "${CMAKE_SOURCE_DIR}/cmake/TessaroKeySet.cmake")
set_tests_properties(trust.DevelopmentKeySetElsewhereNeedsTheDevelopmentBuildSwitch PROPERTIES LABELS trust TIMEOUT 60
  PASS_REGULAR_EXPRESSION "development-only-2026.*TESSARO_TRUST_KEYS_FILE.*TESSARO_DEVELOPMENT_BUILD=ON")
