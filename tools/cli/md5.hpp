// MD5 (RFC 1321) from libmd, as CBF's Content-MD5 line wants it, and base64, its text. MD5 is no
// protection against a forger; CBF readers use it only to tell a damaged binary section.
#pragma once

#include <array>
#include <cstdint>
#include <md5.h>
#include <span>
#include <string>

namespace plateio::cli {

class Md5 {
  public:
    Md5() { MD5Init(&context_); }
    void update(std::span<const std::uint8_t> bytes) { MD5Update(&context_, bytes.data(), bytes.size()); }
    std::array<std::uint8_t, 16> finish() {
        std::array<std::uint8_t, 16> digest{};
        MD5Final(digest.data(), &context_);
        return digest;
    }

  private:
    MD5_CTX context_;
};

// Base64 with the standard alphabet and '=' padding (RFC 4648, section 4).
std::string base64(std::span<const std::uint8_t> bytes);

} // namespace plateio::cli
