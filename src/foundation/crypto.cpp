#include "foundation/crypto.hpp"

#include "foundation/error.hpp"
#include "foundation/paths.hpp"

#include <wincrypt.h>

#include <cstring>
#include <vector>

namespace tess {
namespace fs = std::filesystem;
namespace {

bool isBase64Alphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// Windows' strict decoding, checked here because Wine's CRYPT_STRING_STRICT refuses every input:
// standard alphabet only, no white space, whole quads, padding only in the last two places.
bool isStrictBase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0)
        return false;
    size_t padding = 0;
    if (text.back() == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    for (size_t i = 0; i < text.size() - padding; ++i)
        if (!isBase64Alphabet(text[i]))
            return false;
    return true;
}

} // namespace

Sha256::Sha256() {
    require(::BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0,
            "SHA256 fehlt.");
    start();
}

void Sha256::start() {
    require(::BCryptCreateHash(algorithm_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0) == 0,
            "SHA256 fehlt.");
}

void Sha256::restart() {
    hash_.reset();
}

void Sha256::update(const void* data, std::uint32_t length) {
    if (!hash_.valid())
        start();
    require(::BCryptHashData(hash_.get(), static_cast<PUCHAR>(const_cast<void*>(data)), length, 0) == 0,
            "SHA256 fehlgeschlagen.");
}

std::array<unsigned char, 32> Sha256::finish() {
    if (!hash_.valid())
        start();
    std::array<unsigned char, 32> digest{};
    const NTSTATUS status =
        ::BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
    hash_.reset();
    require(status == 0, "SHA256 fehlgeschlagen.");
    return digest;
}

std::string toHex(const unsigned char* bytes, size_t length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

std::string toHex(std::string_view bytes) {
    return toHex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string sha256Hex(std::string_view bytes) {
    std::string copy(bytes);
    Sha256 hash;
    hash.update(copy.data(), static_cast<std::uint32_t>(copy.size()));
    auto digest = hash.finish();
    return toHex(digest.data(), digest.size());
}

std::string sha256FileHex(const fs::path& path, CancelFlag cancel,
                          const std::function<void(std::uint64_t)>& progress) {
    throwIfCancelled(cancel);
    fs::path target = extendedPath(path, false);
    refuseReparsePoints(target);
    thread_local std::vector<char> buffer(65536);
    Sha256 hash;
    return sha256FileHex(target, hash, buffer, std::span<const CancelFlag>(&cancel, 1), progress);
}

std::string sha256FileHex(const fs::path& path, Sha256& hash, std::span<char> buffer,
                          std::span<const CancelFlag> cancels,
                          const std::function<void(std::uint64_t)>& progress) {
    auto checkCancelled = [&] {
        for (CancelFlag cancel : cancels)
            throwIfCancelled(cancel);
    };
    checkCancelled();
    FileHandle file(::CreateFileW(extendedPath(path, false).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    require(file.valid(), "Datei nicht lesbar.");
    hash.restart();
    std::uint64_t total = 0;
    for (;;) {
        checkCancelled();
        DWORD read = 0;
        require(::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr),
                "Datei konnte nicht vollständig gelesen werden.");
        hash.update(buffer.data(), read);
        if (read == 0)
            break;
        total += read;
        if (progress)
            progress(total);
        checkCancelled();
    }
    auto digest = hash.finish();
    return toHex(digest.data(), digest.size());
}

std::string base64Encode(std::string_view bytes, bool urlSafe) {
    const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD length = 0;
    require(::CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, nullptr, &length),
            "Base64 fehlgeschlagen.");
    std::string text(length, '\0');
    require(::CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, text.data(), &length),
            "Base64 fehlgeschlagen.");
    text.resize(length);
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    if (urlSafe) {
        for (char& c : text) {
            if (c == '+')
                c = '-';
            else if (c == '/')
                c = '_';
        }
        while (!text.empty() && text.back() == '=')
            text.pop_back();
    }
    return text;
}

namespace {

void requireBase64(std::string_view text) {
    require(text.size() <= 33554432, "Base64 zu groß.");
    require(isStrictBase64(text), "Ungültiges Base64.");
}

// Decodes checked Base64 text block by block into `out`, which may be the front of the buffer holding
// the text: each block is decoded aside first, and three bytes come from every four characters, so the
// bytes written never reach text not yet read. Returns the number of bytes.
size_t decodeBase64Blocks(std::string_view text, char* out) {
    constexpr size_t blockCharacters = 65536; // whole quads: only the last block may end in padding
    std::vector<BYTE> block(blockCharacters / 4 * 3);
    size_t written = 0;
    for (size_t at = 0; at < text.size(); at += blockCharacters) {
        const std::string_view part = text.substr(at, blockCharacters);
        DWORD length = static_cast<DWORD>(block.size());
        require(::CryptStringToBinaryA(part.data(), static_cast<DWORD>(part.size()), CRYPT_STRING_BASE64,
                                       block.data(), &length, nullptr, nullptr),
                "Ungültiges Base64.");
        std::memcpy(out + written, block.data(), length);
        written += length;
    }
    return written;
}

} // namespace

std::string base64Decode(std::string_view text) {
    requireBase64(text);
    std::string bytes(text.size() / 4 * 3, '\0');
    bytes.resize(decodeBase64Blocks(text, bytes.data()));
    return bytes;
}

void base64DecodeInPlace(std::string& text, size_t offset, size_t length) {
    const std::string_view encoded = std::string_view(text).substr(offset, length);
    requireBase64(encoded);
    text.resize(decodeBase64Blocks(encoded, text.data()));
}

std::string randomBytes(size_t count) {
    std::string bytes(count, '\0');
    if (count == 0)
        return bytes;
    require(::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(count),
                              BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0,
            "Zufallsquelle nicht verfügbar.");
    return bytes;
}

std::string randomId() {
    return toHex(randomBytes(16));
}

void throwIfCancelled(CancelFlag cancel) {
    if (cancel && cancel->load())
        throw Error("Abgebrochen. Vorhandene Installation bleibt erhalten.");
}

} // namespace tess
