#include "trust/envelope.hpp"

#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/handles.hpp"
#include "foundation/paths.hpp"

#include <cstring>
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

// Checks the envelope's signature and returns the payload's bytes. The envelope is taken over and
// dropped before returning, so that a large manifest is parsed without its Base64 form beside it.
std::string verifiedPayload(Json envelope, const Json& keySet) {
    require(envelope.is_object() && envelope.size() == 3, "Signaturumschlag ungültig.");
    const std::string payload = base64Decode(envelope.at("payload").get<std::string>());
    std::string signature = base64Decode(envelope.at("signature").get<std::string>());
    const std::string keyId = envelope.at("keyId").get<std::string>();
    envelope = nullptr;

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
    return payload;
}

} // namespace

Json verifyEnvelope(std::string_view envelopeText, const Json& keySet) {
    return parse(verifiedPayload(parse(envelopeText), keySet));
}

Json verifyEnvelope(std::string&& envelopeText, const Json& keySet) {
    Json envelope = parse(envelopeText);
    std::string().swap(envelopeText);
    return parse(verifiedPayload(std::move(envelope), keySet));
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
