// File names and messages as text for JSON and the formats' headers.
//
// A file name on Linux is any sequence of bytes but '/' and NUL, while JSON and the formats' headers
// hold text. Names are therefore written with one reversible escape: a byte that is not part of
// valid UTF-8 becomes the four characters \xHH (HH: its value in lower-case hexadecimal), and a
// backslash of the name becomes two backslashes. Every other character stands for itself, so a name
// without backslashes that is valid UTF-8 is unchanged. To get the bytes back, replace \\ by a
// backslash and \xHH by the byte HH. In the ASCII form (for headers that allow only ASCII) the bytes
// of every non-ASCII character and of control characters are escaped alike.
#pragma once

#include <string>
#include <string_view>

namespace plateio::cli {

// A name with the escape above; `ascii` escapes every byte outside 0x20 .. 0x7e.
std::string escape_name(std::string_view name, bool ascii = false);

// A JSON string (quotes included) holding `text` as it is, with a byte that is not valid UTF-8
// replaced by U+FFFD; for messages, whose text is only read. `ascii` writes non-ASCII characters as
// \uXXXX escapes.
std::string json_text(std::string_view text, bool ascii = false);

// A JSON string holding escape_name(name).
std::string json_name(std::string_view name, bool ascii = false);

// A JSON number: the shortest text that reads back as the same double; null when not finite.
std::string json_real(double value);

} // namespace plateio::cli
