// MD5 (the message digest of RFC 1321), as CBF's Content-MD5 line wants it, and base64, its text.
// MD5 is no protection against a forger; CBF readers use it only to tell a damaged binary section.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace plateio::cli {

class Md5 {
  public:
    Md5();
    // Adds bytes to the message.
    void update(std::span<const std::uint8_t> bytes);
    // The digest of everything added; the object is spent afterwards.
    std::array<std::uint8_t, 16> finish();

  private:
    void blocks(const std::uint8_t *data, std::size_t count);

    std::array<std::uint32_t, 4> state_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pending_size_ = 0;
    std::uint64_t length_ = 0; // bytes added
};

// Base64 with the standard alphabet and '=' padding (RFC 4648, section 4).
std::string base64(std::span<const std::uint8_t> bytes);

} // namespace plateio::cli
