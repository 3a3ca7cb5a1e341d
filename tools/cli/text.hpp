// Names and messages as text: for a terminal, for JSON and for the formats' headers.
//
// A file name on Linux is any sequence of bytes but '/' and NUL, while JSON, the formats' headers and
// a terminal take text. Names are therefore written with one reversible escape: a byte that is not
// part of valid UTF-8 becomes the four characters \xHH (HH: its value in lower-case hexadecimal), and
// a backslash of the name becomes two backslashes. Every other character stands for itself, so a name
// without backslashes that is valid UTF-8 is unchanged. To get the bytes back, replace \\ by a
// backslash and \xHH by the byte HH. For a terminal the bytes of control characters (C0, DEL, C1: ESC,
// line breaks) are escaped alike, and for headers that allow only ASCII, every byte outside 0x20..0x7e.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plateio::cli {

enum class Escape {
    utf8,     // invalid UTF-8 and backslashes: JSON, HDF5 strings (which escape the rest themselves)
    terminal, // also control characters: messages and text on a terminal
    ascii,    // also everything outside printable ASCII: CBF's text part
};

std::string escape_name(std::string_view name, Escape escape);

// A JSON document built front to back. Members and elements are separated by themselves; `pretty`
// puts each on a line of its own, indented two spaces a level; `ascii` writes every character
// outside ASCII as a \uXXXX escape (for TIFF's ASCII tags).
class Json {
  public:
    explicit Json(bool pretty = false, bool ascii = false) : pretty_(pretty), ascii_(ascii) {}

    Json &open_object() { return open('{'); }
    Json &open_array() { return open('['); }
    Json &close();
    Json &key(std::string_view name);
    Json &number(std::int64_t value);
    Json &number(double value); // null when not finite
    Json &boolean(bool value);
    Json &null();
    // A message as it is; a byte that is not valid UTF-8 becomes U+FFFD.
    Json &text(std::string_view text);
    // A file name, escaped (Escape::utf8) so that its bytes can be recovered.
    Json &name(std::string_view name) { return text(escape_name(name, Escape::utf8)); }

    const std::string &str() const { return out_; }

  private:
    Json &open(char bracket);
    void element();

    struct Container {
        char closer;
        bool empty; // nothing in it yet
    };
    std::string out_;
    std::vector<Container> open_;
    bool after_key_ = false;
    bool pretty_;
    bool ascii_;
};

} // namespace plateio::cli
