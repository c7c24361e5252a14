// SHA-256, hexadecimal text, Base64 and randomness, all from the platform (CNG and Crypt32); no
// algorithm is implemented here.
#pragma once

#include "foundation/handles.hpp"
#include "foundation/progress.hpp"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace tess {

// After finish (or restart) the object starts a new message, so a thread that hashes many files keeps
// one.
class Sha256 {
  public:
    Sha256();
    void update(const void* data, std::uint32_t length);
    std::array<unsigned char, 32> finish();
    // Drops a message left unfinished by an error.
    void restart();

  private:
    void start();

    BcryptAlgorithm algorithm_;
    BcryptHash hash_;
};

std::string toHex(std::string_view bytes);
std::string toHex(const unsigned char* bytes, size_t length);
std::string sha256Hex(std::string_view bytes);
std::string sha256FileHex(const std::filesystem::path& path, CancelFlag cancel,
                          const std::function<void(std::uint64_t)>& progress);
// The same with the caller's hash object and block buffer, for threads that hash many files; the caller
// has refused links on the path. Every flag is tested before and after each block.
std::string sha256FileHex(const std::filesystem::path& path, Sha256& hash, std::span<char> buffer,
                          std::span<const CancelFlag> cancels,
                          const std::function<void(std::uint64_t)>& progress);

std::string base64Encode(std::string_view bytes, bool urlSafe);
std::string base64Decode(std::string_view text);
// The same decoding of the Base64 text at text[offset, offset + length), written over the front of the
// same buffer, which is then cut to the decoded bytes: a large payload is never held twice.
void base64DecodeInPlace(std::string& text, std::size_t offset, std::size_t length);

std::string randomBytes(size_t count);
std::string randomId();

void throwIfCancelled(CancelFlag cancel);

} // namespace tess
