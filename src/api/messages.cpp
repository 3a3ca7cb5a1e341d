#include "api/messages.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "plateio.h"

namespace plateio::api {

namespace {

struct KindText {
    std::int32_t code;
    std::string_view reason;
    const char *container;
};

#define PLATEIO_FAULT_KIND_TEXT(name, code, reason, message) KindText{code, reason, message},
constexpr KindText kKinds[] = {PLATEIO_FAULT_KINDS(PLATEIO_FAULT_KIND_TEXT)};
#undef PLATEIO_FAULT_KIND_TEXT

// plateio_strerror's names, indexed by result code.
constexpr const char *kCodeNames[] = {
    "success",
    "invalid argument",
    "cannot open the file",
    "not a TRA or X-Area file",
    "not an X-Area container",
    "damaged table of contents",
    "no image header entry",
    "image header entry out of reach",
    "no pixel entry",
    "pixel entry out of reach",
    "entry outside the file",
    "file or pixel entry cut short",
    "TRA row wider than the grid",
    "image size impossible",
    "out of memory",
    "array too small for the image",
    "path too long",
};
static_assert(std::size(kCodeNames) == PLATEIO_E_PATH + 1, "a result code without a name");

constexpr bool every_code_named() {
    for (const KindText &kind : kKinds) {
        if (kind.code < 0 || static_cast<std::size_t>(kind.code) >= std::size(kCodeNames)) {
            return false;
        }
    }
    return true;
}
static_assert(every_code_named(), "a fault kind whose code has no name");

// Every {field} of every reason is one that describe() fills.
constexpr bool reasons_well_formed() {
    for (const KindText &kind : kKinds) {
        const std::string_view format = kind.reason;
        for (std::size_t open = format.find('{'); open != std::string_view::npos;
             open = format.find('{', open + 1)) {
            const std::size_t close = format.find('}', open);
            if (close == std::string_view::npos) {
                return false;
            }
            const std::string_view field = format.substr(open + 1, close - open - 1);
            if (field != "a" && field != "b" && field != "what" && field != "system") {
                return false;
            }
        }
    }
    return true;
}
static_assert(reasons_well_formed(), "a reason with a field describe() does not know");

const KindText *text_of(FaultKind kind) noexcept {
    const auto index = static_cast<std::size_t>(kind);
    return index < std::size(kKinds) ? &kKinds[index] : nullptr;
}

// strerror_r comes in two shapes (the GNU one returns the text, the POSIX one fills the buffer).
[[maybe_unused]] const char *error_text(int result, const char *buffer) noexcept {
    return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char *error_text(const char *result, const char *) noexcept {
    return result;
}

// Appends to a zero-terminated line of fixed capacity, cutting what does not fit.
class Line {
  public:
    Line(char *out, std::size_t capacity) noexcept : out_(out), capacity_(capacity) { out_[0] = '\0'; }
    void add(std::string_view text) noexcept {
        const std::size_t take = std::min(text.size(), capacity_ - 1 - used_);
        std::memcpy(out_ + used_, text.data(), take);
        used_ += take;
        out_[used_] = '\0';
    }
    void add(std::int64_t number) noexcept {
        char digits[24];
        std::snprintf(digits, sizeof digits, "%" PRId64, number);
        add(std::string_view(digits));
    }

  private:
    char *out_;
    std::size_t capacity_;
    std::size_t used_ = 0;
};

} // namespace

std::int32_t result_code(const Fault &f) noexcept {
    const KindText *text = text_of(f.kind);
    return text != nullptr ? text->code : PLATEIO_E_ARGUMENT;
}

void describe(const Fault &f, char *out, std::size_t capacity) noexcept {
    if (out == nullptr || capacity == 0) {
        return;
    }
    Line line(out, capacity);
    const KindText *text = text_of(f.kind);
    if (text == nullptr) {
        line.add("unknown fault");
        return;
    }
    std::string_view format = text->reason;
    while (!format.empty()) {
        const std::size_t open = format.find('{');
        line.add(format.substr(0, open));
        if (open == std::string_view::npos) {
            return;
        }
        const std::size_t close = format.find('}', open);
        const std::string_view field = format.substr(open + 1, close - open - 1);
        if (field == "a") {
            line.add(f.a);
        } else if (field == "b") {
            line.add(f.b);
        } else if (field == "what") {
            line.add(f.what != nullptr ? f.what : "");
        } else if (field == "system" && f.system_error != 0) {
            // The system's text as it always was: at most 95 characters, in parentheses.
            char buffer[96] = "";
            char system[128] = "";
            std::snprintf(system, sizeof system, " (%s)",
                          error_text(strerror_r(f.system_error, buffer, sizeof buffer), buffer));
            line.add(std::string_view(system));
        }
        format.remove_prefix(close + 1);
    }
}

const char *container_message(FaultKind kind) noexcept {
    const KindText *text = text_of(kind);
    return text != nullptr ? text->container : nullptr;
}

const char *code_name(std::int32_t code) noexcept {
    return code >= 0 && static_cast<std::size_t>(code) < std::size(kCodeNames)
               ? kCodeNames[static_cast<std::size_t>(code)]
               : "unknown result code";
}

} // namespace plateio::api
