#include "common/file.hpp"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace plateio {

Fault Source::open(const char *path) noexcept {
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

std::span<const std::uint8_t> Source::peek() noexcept {
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
