#include "files.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "errors.hpp"
#include "plateio.h"

namespace plateio::cli {

namespace {

// What a file that is not regular is, for a message.
std::string kind_of(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO (named pipe)";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    return "not a regular file";
}

// The names of the temporary files in progress, for the signal handlers, which may only read plain
// memory and call async-signal-safe functions. A slot is claimed by its owner (kClaimed), filled,
// and marked kLive just before the file is created, so a handler removes every file that exists;
// marking a slot live before the file exists is harmless, as the name is random and a collision
// could only hit another temporary file.
constexpr std::size_t kSlots = 256;
constexpr std::size_t kNameBytes = 4096;
enum SlotState : int { kFree = 0, kClaimed = 1, kLive = 2 };
struct Slot {
    std::atomic<int> state{kFree};
    char name[kNameBytes];
};
// Process-wide by nature: a signal handler has no other way to find them.
Slot g_slots[kSlots];

void remove_temporaries_and_die(int signal_number) {
    for (Slot &slot : g_slots) {
        if (slot.state.load() == kLive) {
            ::unlink(slot.name);
        }
    }
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

std::string random_suffix() {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::string suffix;
    for (int i = 0; i < 8; ++i) {
        suffix += kLetters[random() % (sizeof kLetters - 1)];
    }
    return suffix;
}

} // namespace

std::optional<FileIdentity> identity_of(const std::string &path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return FileIdentity{status.st_dev, status.st_ino};
}

std::uint64_t check_input(const std::string &path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw FileError(path, errno_text(errno), PLATEIO_E_OPEN);
    }
    if (S_ISDIR(status.st_mode)) {
        throw FileError(path, errno_text(EISDIR), PLATEIO_E_OPEN);
    }
    if (!S_ISREG(status.st_mode)) {
        throw FileError(path,
                        kind_of(status.st_mode) +
                            ", not a regular file: not opened, as reading it could wait forever",
                        PLATEIO_E_OPEN);
    }
    return static_cast<std::uint64_t>(status.st_size);
}

void check_output_target(const std::string &path) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0) {
        return; // nothing there (or the directory is missing, which creating the file will report)
    }
    if (S_ISREG(link.st_mode)) {
        return;
    }
    if (S_ISLNK(link.st_mode)) {
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
            return;
        }
        throw FileError(path, "a symbolic link to " + kind_of(status.st_mode) +
                                  "; plateio replaces only links to regular files or to nothing");
    }
    if (S_ISDIR(link.st_mode)) {
        throw FileError(path, errno_text(EISDIR));
    }
    throw FileError(path, kind_of(link.st_mode) + ", not a regular file; plateio writes only regular files");
}

void install_output_cleanup() {
    struct sigaction action {};
    action.sa_handler = remove_temporaries_and_die;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        ::sigaction(signal_number, &action, nullptr);
    }
    ::signal(SIGXFSZ, SIG_IGN);
}

PendingOutput::PendingOutput(std::string target) : target_(std::move(target)) {
    const std::size_t slash = target_.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    for (std::size_t i = 0; i < kSlots && slot_ < 0; ++i) {
        int expected = kFree;
        if (g_slots[i].state.compare_exchange_strong(expected, kClaimed)) {
            slot_ = static_cast<int>(i);
        }
    }
    if (slot_ < 0) {
        throw FileError(target_, "too many outputs in progress at once");
    }
    Slot &slot = g_slots[slot_];
    for (int attempt = 0; attempt < 100; ++attempt) {
        // A name's bytes are limited (NAME_MAX, 255): a long one is shortened in the temporary name.
        const std::string temporary =
            directory + "." + name.substr(0, 200) + ".plateio-tmp-" + random_suffix();
        if (temporary.size() >= kNameBytes) {
            slot.state = kFree;
            slot_ = -1;
            throw FileError(target_, errno_text(ENAMETOOLONG));
        }
        std::memcpy(slot.name, temporary.c_str(), temporary.size() + 1);
        slot.state = kLive;
        fd_ = ::open(slot.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            return;
        }
        const int error = errno;
        slot.state = kClaimed;
        if (error != EEXIST) {
            slot.state = kFree;
            slot_ = -1;
            throw FileError(target_, errno_text(error));
        }
    }
    slot.state = kFree;
    slot_ = -1;
    throw FileError(target_, "no free temporary name beside it");
}

PendingOutput::~PendingOutput() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (slot_ >= 0) {
        if (!committed_) {
            ::unlink(g_slots[slot_].name);
        }
        g_slots[slot_].state = kFree;
    }
}

std::string PendingOutput::temporary() const {
    return g_slots[slot_].name;
}

void PendingOutput::write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw FileError(target_, errno_text(errno));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

void PendingOutput::write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw FileError(target_, errno_text(errno));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
}

void PendingOutput::close() {
    if (fd_ < 0) {
        return;
    }
    const int fd = release();
    if (::close(fd) != 0) {
        throw FileError(target_, errno_text(errno));
    }
}

void PendingOutput::commit() {
    close();
    if (::rename(g_slots[slot_].name, target_.c_str()) != 0) {
        throw FileError(target_, errno_text(errno));
    }
    committed_ = true;
}

} // namespace plateio::cli
