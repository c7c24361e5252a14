#include "trust/envelope.hpp"

#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/handles.hpp"
#include "foundation/paths.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace tess {
namespace {

const Json& selectKey(const Json& keySet, const std::string& keyId) {
    const Json* selected = nullptr;
    for (const Json& key : keySet)
        if (key.at("keyId").get<std::string>() == keyId)
            selected = &key;
    require(selected != nullptr, "Unbekannter Veröffentlichungsschlüssel.");
    return *selected;
}

std::vector<unsigned char> publicKeyBlob(const std::string& modulus, const std::string& exponent) {
    BCRYPT_RSAKEY_BLOB header{};
    header.Magic = BCRYPT_RSAPUBLIC_MAGIC;
    header.BitLength = static_cast<ULONG>(modulus.size() * 8);
    header.cbPublicExp = static_cast<ULONG>(exponent.size());
    header.cbModulus = static_cast<ULONG>(modulus.size());
    std::vector<unsigned char> blob(sizeof header + exponent.size() + modulus.size());
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, exponent.data(), exponent.size());
    std::memcpy(blob.data() + sizeof header + exponent.size(), modulus.data(), modulus.size());
    return blob;
}

// Steps after the payload is decoded: the envelope's key must have signed exactly these bytes.
void checkSignature(const Json& envelope, std::string_view payload, const Json& keySet) {
    std::string signature = base64Decode(envelope.at("signature").get<std::string>());
    const std::string keyId = envelope.at("keyId").get<std::string>();

    const Json& key = selectKey(keySet, keyId);
    const std::string modulus = base64Decode(key.at("modulus").get<std::string>());
    const std::string exponent = base64Decode(key.at("exponent").get<std::string>());
    require(modulus.size() >= 384 && modulus.size() <= 1024 && exponent.size() <= 8,
            "Unsicherer RSA-Schlüssel.");

    std::vector<unsigned char> blob = publicKeyBlob(modulus, exponent);
    BcryptAlgorithm rsa;
    require(::BCryptOpenAlgorithmProvider(rsa.put(), BCRYPT_RSA_ALGORITHM, nullptr, 0) == 0,
            "RSA nicht verfügbar.");
    BcryptKey publicKey;
    require(::BCryptImportKeyPair(rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, publicKey.put(), blob.data(),
                                  static_cast<ULONG>(blob.size()), 0) == 0,
            "Vertrauensschlüssel ungültig.");

    Sha256 hash;
    hash.update(payload.data(), static_cast<std::uint32_t>(payload.size()));
    auto digest = hash.finish();
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    NTSTATUS status = ::BCryptVerifySignature(
        publicKey.get(), &padding, digest.data(), static_cast<ULONG>(digest.size()),
        reinterpret_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), BCRYPT_PAD_PKCS1);
    require(status == 0, "Digitale Signatur stimmt nicht. Download verworfen.");
}

void requireThreeMembers(const Json& envelope) {
    require(envelope.is_object() && envelope.size() == 3, "Signaturumschlag ungültig.");
}

// Where the payload's Base64 text lies in an envelope of the form the publisher tool writes: one object
// of string members, the payload among them once, written without escapes in the Base64 alphabet.
struct PayloadText {
    std::size_t offset;
    std::size_t length;
};

bool isPayloadCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

// A scan of that form only; any other text gets nothing and is read as a whole document.
std::optional<PayloadText> findPlainPayload(std::string_view text) {
    std::size_t at = 0;
    auto skipSpace = [&] {
        while (at < text.size() &&
               (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
            ++at;
    };
    auto take = [&](char c) {
        skipSpace();
        if (at >= text.size() || text[at] != c)
            return false;
        ++at;
        return true;
    };
    // A string starting at `at` (after its quote); escapes are stepped over. Returns its raw text.
    auto rawString = [&]() -> std::optional<std::string_view> {
        const std::size_t begin = at;
        while (at < text.size() && text[at] != '"')
            at += text[at] == '\\' ? 2 : 1;
        if (at >= text.size())
            return std::nullopt;
        return text.substr(begin, at++ - begin);
    };
    std::optional<PayloadText> payload;
    if (!take('{'))
        return std::nullopt;
    do {
        if (!take('"'))
            return std::nullopt;
        const std::optional<std::string_view> name = rawString();
        if (!name || name->find('\\') != std::string_view::npos || !take(':') || !take('"'))
            return std::nullopt;
        const std::size_t valueOffset = at;
        const std::optional<std::string_view> value = rawString();
        if (!value)
            return std::nullopt;
        if (*name == "payload") {
            if (payload || !std::all_of(value->begin(), value->end(), isPayloadCharacter))
                return std::nullopt;
            payload = PayloadText{valueOffset, value->size()};
        }
    } while (take(','));
    if (!take('}'))
        return std::nullopt;
    return payload;
}

// The general road: the whole envelope parsed as a document. The text is released once parsed.
std::string payloadOfDocument(std::string&& envelopeText, const Json& keySet) {
    Json envelope = parse(envelopeText);
    std::string().swap(envelopeText);
    requireThreeMembers(envelope);
    std::string payload = base64Decode(envelope.at("payload").get<std::string>());
    checkSignature(envelope, payload, keySet);
    return payload;
}

// The usual road: the envelope is parsed without its payload text, which is then decoded in place. The
// text left for the parse differs from the whole only inside one string of Base64 characters, so the
// parse finds the same members and the same defects.
std::string payloadInPlace(std::string&& envelopeText, PayloadText payload, const Json& keySet) {
    std::string rest = envelopeText.substr(0, payload.offset);
    rest.append(envelopeText, payload.offset + payload.length);
    const Json envelope = parse(rest);
    requireThreeMembers(envelope);
    base64DecodeInPlace(envelopeText, payload.offset, payload.length);
    checkSignature(envelope, envelopeText, keySet);
    return std::move(envelopeText);
}

} // namespace

std::string verifiedPayload(std::string&& envelopeText, const Json& keySet) {
    if (const std::optional<PayloadText> payload = findPlainPayload(envelopeText))
        return payloadInPlace(std::move(envelopeText), *payload, keySet);
    return payloadOfDocument(std::move(envelopeText), keySet);
}

Json verifyEnvelope(std::string_view envelopeText, const Json& keySet) {
    return parse(verifiedPayload(std::string(envelopeText), keySet));
}

Json verifyEnvelope(std::string&& envelopeText, const Json& keySet) {
    return parse(verifiedPayload(std::move(envelopeText), keySet));
}

void writeSelfTestReport(const std::filesystem::path& answerPath) {
    const Json keys = parse(builtinTrustKeys);
    require(keys.is_array() && !keys.empty(), "Vertrauensanker fehlt.");
    require(sha256Hex("abc") == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
            "Kryptografieprüfung fehlgeschlagen.");
    Json answer = {
        {"ok", true},
        {"sha256", sha256FileHex(runningExecutableFile(installRootPath(), dataRootPath()), nullptr, {})},
        {"version", std::string(launcherVersion)}};
    writeFileDurably(answerPath, dumpCompact(answer));
}

} // namespace tess
