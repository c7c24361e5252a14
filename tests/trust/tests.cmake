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
