#include "common/file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace plateio {

Fault Source::open(const char *path) noexcept {
    in_memory_ = false;
    errno = 0;
    file_.reset(path != nullptr ? std::fopen(path, "rb") : nullptr);
    if (!file_) {
        Fault f = fault(FaultKind::cannot_open);
        f.system_error = errno;
        return f;
    }
    // Unbuffered: every read is one the library asked for, of the size it asked for (a probe reads
    // what it says it reads), and no buffer is allocated behind the reader's back.
    std::setvbuf(file_.get(), nullptr, _IONBF, 0);
    struct stat status {};
    size_ = fstat(fileno(file_.get()), &status) == 0 && S_ISREG(status.st_mode)
                ? static_cast<std::int64_t>(status.st_size)
                : -1;
    return {};
}

void Source::open_memory(const void *bytes, std::size_t length) noexcept {
    file_.reset();
    memory_ = static_cast<const std::uint8_t *>(bytes);
    in_memory_ = true;
    position_ = 0;
    size_ = static_cast<std::int64_t>(length);
}

std::span<const std::uint8_t> Source::peek() noexcept {
    if (in_memory_) {
        // Nothing to hand out again: the span is there to be read from its start.
        const auto length = static_cast<std::uint64_t>(size_);
        return {memory_, static_cast<std::size_t>(std::min<std::uint64_t>(length, kPeekBytes))};
    }
    if (!peeked_once_) {
        peeked_once_ = true;
        const ReadResult got = read(peeked_.data(), peeked_.size());
        peeked_bytes_ = got.bytes;
        peek_error_ = got.system_error;
    }
    return {peeked_.data(), peeked_bytes_};
}

ReadResult Source::read(void *into, std::size_t count) noexcept {
    ReadResult result;
    auto *out = static_cast<std::uint8_t *>(into);
    if (in_memory_) {
        const auto length = static_cast<std::uint64_t>(size_);
        if (position_ < length) {
            result.bytes = static_cast<std::size_t>(std::min<std::uint64_t>(count, length - position_));
            std::memcpy(out, memory_ + position_, result.bytes);
            position_ += result.bytes;
        }
        return result;
    }
    if (replayed_ < peeked_bytes_) {
        const std::size_t take = std::min(count, peeked_bytes_ - replayed_);
        std::memcpy(out, peeked_.data() + replayed_, take);
        replayed_ += take;
        result.bytes = take;
        if (take == count) {
            return result;
        }
        out += take;
        count -= take;
    }
    errno = 0;
    const std::size_t got = std::fread(out, 1, count, file_.get());
    result.bytes += got;
    if (got < count && std::ferror(file_.get())) {
        result.system_error = errno;
    }
    return result;
}

bool Source::seek(std::int64_t offset, int *system_error) noexcept {
    if (in_memory_) {
        // As on a regular file, a position past the end is allowed; the read after it comes up short.
        if (offset < 0) {
            if (system_error != nullptr) {
                *system_error = EINVAL;
            }
            return false;
        }
        position_ = static_cast<std::uint64_t>(offset);
        return true;
    }
    // The peeked bytes are not handed out again after a seek: the file's own position rules.
    replayed_ = peeked_bytes_;
    errno = 0;
    if (offset < 0 || fseeko(file_.get(), static_cast<off_t>(offset), SEEK_SET) != 0) {
        if (system_error != nullptr) {
            *system_error = offset < 0 ? EINVAL : errno;
        }
        return false;
    }
    return true;
}

} // namespace plateio
