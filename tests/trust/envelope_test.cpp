// Envelopes come from the publisher tool (fixture.trust_envelopes writes them into the build folder),
// so these tests prove that what the tool signs is what the program accepts, and nothing else.
#include "foundation/crypto.hpp"
#include "foundation/json.hpp"
#include "support/test_support.hpp"
#include "trust/envelope.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

std::filesystem::path fixture(const char* name) {
    return test::binaryDir() / L"trust-fixtures" / name;
}

std::string fixtureText(const char* name) {
    return test::readBytes(fixture(name));
}

Json keySetFile(const std::filesystem::path& path) {
    return parse(test::readBytes(path));
}

Json developmentKeys() {
    return keySetFile(test::sourceDir() / L"tools" / L"dev-keys" / L"development-only-trust-keys.json");
}

// The message of whatever verifyEnvelope throws; empty when it accepts.
std::string refusal(std::string_view envelope, const Json& keys) {
    try {
        verifyEnvelope(envelope, keys);
        return {};
    } catch (const std::exception& e) {
        return e.what();
    }
}

TEST(VerifyEnvelope, AcceptsToolEnvelopesAndReturnsThePayloadDocument) {
    const Json payload = parse(fixtureText("payload.json"));
    struct Case {
        const char* envelope;
        Json keys;
    } cases[] = {
        {"valid.json", developmentKeys()},
        {"rsa-4096.json", keySetFile(fixture("rsa-4096-trust-keys.json"))},
    };
    for (const auto& c : cases)
        EXPECT_EQ(verifyEnvelope(fixtureText(c.envelope), c.keys), payload) << c.envelope;
}

TEST(VerifyEnvelope, RefusesToolEnvelopesWithTheirDefects) {
    // The 4096-bit key's identifier, but the modulus of another key.
    const Json otherModulus = Json::array(
        {{{"exponent", "AQAB"}, {"keyId", "test-4096"}, {"modulus", developmentKeys().at(0).at("modulus")}}});
    struct Case {
        const char* envelope;
        Json keys;
        std::string message;
    } cases[] = {
        {"one-byte.json", developmentKeys(), "Digitale Signatur stimmt nicht. Download verworfen."},
        {"spaced.json", developmentKeys(), "Digitale Signatur stimmt nicht. Download verworfen."},
        {"fourth-member.json", developmentKeys(), "Signaturumschlag ungültig."},
        {"base64url.json", developmentKeys(), "Ungültiges Base64."},
        {"keyid-case.json", developmentKeys(), "Unbekannter Veröffentlichungsschlüssel."},
        {"keyid-unknown.json", developmentKeys(), "Unbekannter Veröffentlichungsschlüssel."},
        {"rsa-2048.json", keySetFile(fixture("rsa-2048-trust-keys.json")), "Unsicherer RSA-Schlüssel."},
        {"rsa-4096.json", otherModulus, "Digitale Signatur stimmt nicht. Download verworfen."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(refusal(fixtureText(c.envelope), c.keys), c.message) << c.envelope;
}

Json envelopeWith(const char* member, const Json& value) {
    Json envelope = parse(fixtureText("valid.json"));
    envelope[member] = value;
    return envelope;
}

TEST(VerifyEnvelope, RefusesMalformedEnvelopesBeforeAnyKeyIsUsed) {
    const Json valid = parse(fixtureText("valid.json"));
    Json missing = valid;
    missing.erase("signature");
    missing["other"] = "x";
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {"[1,2,3]", "Signaturumschlag ungültig."},
        {"{\"keyId\":\"a\",\"payload\":\"\"}", "Signaturumschlag ungültig."},
        {missing.dump(), "[json.exception.out_of_range.403] key 'signature' not found"},
        {envelopeWith("keyId", 5).dump(),
         "[json.exception.type_error.302] type must be string, but is number"},
        {envelopeWith("payload", nullptr).dump(),
         "[json.exception.type_error.302] type must be string, but is null"},
        {envelopeWith("payload", "YWJj\nZGVm").dump(), "Ungültiges Base64."},
        {envelopeWith("signature", "****").dump(), "Ungültiges Base64."},
        {"{\"keyId\":\"a\",\"keyId\":\"b\",\"payload\":\"\"}", "Doppeltes JSON-Feld."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(refusal(c.text, developmentKeys()), c.message) << c.text;
}

TEST(VerifyEnvelope, UsesTheLastKeyOfAnIdentifierAndChecksKeyBounds) {
    const std::string valid = fixtureText("valid.json");
    const Json development = developmentKeys().at(0);
    const Json strong = keySetFile(fixture("rsa-4096-trust-keys.json")).at(0);
    Json impostor = strong;
    impostor["keyId"] = development["keyId"];
    Json longExponent = development;
    longExponent["exponent"] = base64Encode(std::string(9, '\x01'), false);
    Json longModulus = development;
    longModulus["modulus"] = base64Encode(std::string(1025, '\xC1'), false);
    struct Case {
        const char* label;
        Json keys;
        std::string message;
    } cases[] = {
        {"real key last", Json::array({impostor, development}), ""},
        {"real key first", Json::array({development, impostor}),
         "Digitale Signatur stimmt nicht. Download verworfen."},
        {"exponent of 9 bytes", Json::array({longExponent}), "Unsicherer RSA-Schlüssel."},
        {"modulus of 1025 bytes", Json::array({longModulus}), "Unsicherer RSA-Schlüssel."},
        {"empty key set", Json::array(), "Unbekannter Veröffentlichungsschlüssel."},
        {"element without keyId", Json::array({{{"id", "x"}}, development}),
         "[json.exception.out_of_range.403] key 'keyId' not found"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(refusal(valid, c.keys), c.message) << c.label;
}

// The valid envelope's three strings laid out as `layout` says: <K>, <P> and <S> stand for the key id,
// the payload and the signature.
std::string laidOut(std::string layout) {
    const Json valid = parse(fixtureText("valid.json"));
    for (const auto& [mark, member] : {std::pair{"<K>", "keyId"}, {"<P>", "payload"}, {"<S>", "signature"}})
        layout.replace(layout.find(mark), 3, valid.at(member).get<std::string>());
    return layout;
}

// Most envelopes have their payload decoded in place without parsing it as part of the document; any
// envelope must come out exactly as the whole document reads it.
TEST(VerifyEnvelope, PayloadDecodedInPlaceOnlyWhereTheWholeDocumentReadsTheSame) {
    const std::string payload = fixtureText("payload.json");
    const std::string valid = fixtureText("valid.json");
    std::string escaped = laidOut(R"({"keyId":"<K>","payload":"<P>","signature":"<S>"})");
    const size_t first = escaped.find("\"payload\":\"") + 11;
    escaped.replace(first, 1, "\\u00" + toHex(escaped.substr(first, 1)));
    struct Case {
        const char* label;
        std::string text;
        std::string message; // empty: the payload comes out
    } cases[] = {
        {"spaced out, payload last",
         laidOut("\r\n{ \"keyId\" : \"<K>\",\t\"signature\":\"<S>\" ,\n\"payload\": \"<P>\" }\n"), ""},
        {"payload with an escaped character", escaped, ""},
        {"byte-order mark", "\xEF\xBB\xBF" + valid, ""},
        {"text after the envelope", valid + " x", "JSON-Dokument ist unvollstaendig oder ungueltig."},
        {"control character in the key id",
         laidOut("{\"keyId\":\"<K>\x01\",\"payload\":\"<P>\",\"signature\":\"<S>\"}"),
         "JSON-Dokument ist unvollstaendig oder ungueltig."},
        {"payload twice", laidOut(R"({"keyId":"<K>","payload":"<P>","payload":"<S>"})"),
         "Doppeltes JSON-Feld."},
        {"padding inside the payload", laidOut(R"({"keyId":"<K>","payload":"=<P>","signature":"<S>"})"),
         "Ungültiges Base64."},
    };
    for (const auto& c : cases) {
        std::string outcome;
        try {
            outcome =
                verifiedPayload(std::string(c.text), developmentKeys()) == payload ? "" : "other payload";
        } catch (const std::exception& e) {
            outcome = e.what();
        }
        EXPECT_EQ(outcome, c.message) << c.label;
    }
}

TEST(SelfTestReport, AnswersWithTheRunningProgramsHashAndVersion) {
    test::ScratchFolder folder;
    const auto answer = folder / L"answer.json";
    writeSelfTestReport(answer);
    const std::string expected = "{\"ok\":true,\"sha256\":\"" +
                                 sha256FileHex(test::binaryDir() / L"bin" / L"trust_tests.exe", nullptr, {}) +
                                 "\",\"version\":\"1.0.2\"}";
    EXPECT_EQ(test::readBytes(answer), expected);
}

} // namespace
} // namespace tess
