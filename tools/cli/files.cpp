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
enum SlotState : int { kFree = 0, kClaimed = 1, kLive = 2, kCommitting = 3 };
struct Slot {
    std::atomic<int> state{kFree};
    char name[kNameBytes];
};
// Process-wide by nature: a signal handler has no other way to find them.
Slot g_slots[kSlots];

// The signals that stop the tool and remove its temporary files.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void remove_temporaries_and_die(int signal_number) {
    // A job being committed in another thread (with these signals blocked there) is let finish, so
    // that its outputs are all renamed or none: a handler may wait on plain memory.
    for (Slot &slot : g_slots) {
        while (slot.state.load() == kCommitting) {
        }
    }
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

InputFile::InputFile(const std::string &path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (fd_ < 0) {
        // A socket cannot be opened at all (ENXIO): named by its kind like the others.
        const int error = errno;
        if (error == ENXIO && ::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
            throw FileError(path, kind_of(status.st_mode) + ", not a regular file: not read", PLATEIO_E_OPEN);
        }
        throw FileError(path, errno_text(error), PLATEIO_E_OPEN);
    }
    if (::fstat(fd_, &status) != 0) {
        const int error = errno;
        ::close(fd_);
        throw FileError(path, errno_text(error), PLATEIO_E_OPEN);
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd_);
        throw FileError(path,
                        S_ISDIR(status.st_mode)
                            ? errno_text(EISDIR)
                            : kind_of(status.st_mode) +
                                  ", not a regular file: not read, as reading it could wait forever",
                        PLATEIO_E_OPEN);
    }
    size_ = static_cast<std::uint64_t>(status.st_size);
}

InputFile::~InputFile() {
    ::close(fd_);
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
    for (int signal_number : kStopSignals) {
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
    // The target's name is checked now, before anything of its job is renamed into place.
    const long name_max = ::pathconf(directory.empty() ? "." : directory.c_str(), _PC_NAME_MAX);
    if (name.size() > static_cast<std::size_t>(name_max > 0 ? name_max : 255) ||
        target_.size() >= kNameBytes) {
        g_slots[slot_].state = kFree;
        slot_ = -1;
        throw FileError(target_, errno_text(ENAMETOOLONG));
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

void PendingOutput::finish() {
    close();
}

void commit_all(std::initializer_list<PendingOutput *> outputs) {
    for (PendingOutput *output : outputs) {
        if (output != nullptr) {
            output->finish();
        }
    }
    sigset_t stop;
    sigset_t before;
    sigemptyset(&stop);
    for (int signal_number : kStopSignals) {
        sigaddset(&stop, signal_number);
    }
    ::pthread_sigmask(SIG_BLOCK, &stop, &before);
    for (PendingOutput *output : outputs) {
        if (output != nullptr) {
            g_slots[output->slot_].state = kCommitting;
        }
    }
    const PendingOutput *failed = nullptr;
    int error = 0;
    for (PendingOutput *output : outputs) {
        if (output == nullptr) {
            continue;
        }
        if (failed == nullptr && ::rename(g_slots[output->slot_].name, output->target_.c_str()) == 0) {
            output->committed_ = true;
        } else if (failed == nullptr) {
            failed = output;
            error = errno;
        }
        g_slots[output->slot_].state = output->committed_ ? kClaimed : kLive;
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (failed != nullptr) {
        throw FileError(failed->target_, errno_text(error));
    }
}

} // namespace plateio::cli
