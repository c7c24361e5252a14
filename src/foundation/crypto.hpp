// SHA-256, hexadecimal text, Base64 and randomness, all from the platform (CNG and Crypt32); no
// algorithm is implemented here.
#pragma once

#include "foundation/handles.hpp"
#include "foundation/progress.hpp"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace tess {

class Sha256 {
  public:
    Sha256();
    void update(const void* data, std::uint32_t length);
    std::array<unsigned char, 32> finish();

  private:
    BcryptAlgorithm algorithm_;
    BcryptHash hash_;
};

std::string toHex(std::string_view bytes);
std::string toHex(const unsigned char* bytes, size_t length);
std::string sha256Hex(std::string_view bytes);
std::string sha256FileHex(const std::filesystem::path& path, CancelFlag cancel,
                          const std::function<void(std::uint64_t)>& progress);

std::string base64Encode(std::string_view bytes, bool urlSafe);
std::string base64Decode(std::string_view text);

std::string randomBytes(size_t count);
std::string randomId();

void throwIfCancelled(CancelFlag cancel);

} // namespace tess
