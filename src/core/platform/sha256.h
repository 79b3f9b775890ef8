// SHA-256 (FIPS 180-4): OpenSSL's libcrypto on Linux, Windows CNG in the Windows build.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace dalvento {

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, size_t size);
    void update(std::string_view text) { update(text.data(), text.size()); }
    // The digest as 64 lower-case hex digits; the object may not be used afterwards.
    std::string finish_hex();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// SHA-256 of a text as 64 lower-case hex digits.
std::string sha256_hex(std::string_view data);

// Bytes as lower-case hex, two digits each.
std::string to_hex(const uint8_t* bytes, size_t size);

}  // namespace dalvento
