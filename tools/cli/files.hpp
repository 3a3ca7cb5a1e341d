// The files the tool touches: inputs looked at before they are opened, and outputs that appear only
// when they are complete.
//
// An input is opened once, without waiting (O_NONBLOCK), and its kind is checked on the descriptor:
// a directory, FIFO, socket or device is refused with its kind named, so that nothing waits on a FIFO
// without a writer or reads a device forever, and a name swapped for one in between changes nothing.
//
// An output is written to a temporary file beside its target, named ".NAME.plateio-tmp-XXXXXXXX"
// (hidden, and unmistakable for an output), and renamed over the target once it is complete. So the
// target is either its old self or the complete new file; a symbolic link at the target is
// replaced by the file rather than written through. A temporary file is removed when its output
// fails, and when the tool is stopped by SIGINT, SIGTERM, SIGHUP or SIGQUIT (install_output_cleanup);
// only SIGKILL or a crash can leave one. A write beyond the file-size limit (ulimit -f) fails with
// EFBIG like any other write instead of killing the tool.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>

namespace plateio::cli {

// A file's device and inode: two paths name the same file, through links or not, when they agree.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity &) const = default;
};

// The identity of the file `path` leads to (links followed); nothing when there is none.
std::optional<FileIdentity> identity_of(const std::string &path);

// An input file, open for reading: a regular file, checked on its descriptor.
class InputFile {
  public:
    // Throws FileError (code PLATEIO_E_OPEN) unless `path` opens as a regular file: a missing file, a
    // directory, a FIFO, a socket or a device is refused by its kind.
    explicit InputFile(const std::string &path);
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    int fd() const { return fd_; }
    std::uint64_t size() const { return size_; }
    // A name of the open file itself, /proc/self/fd/N, for functions that take a name.
    std::string descriptor_path() const { return "/proc/self/fd/" + std::to_string(fd_); }

  private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

inline InputFile open_input(const std::string &path) {
    return InputFile(path);
}

// Throws FileError unless `path` can take an output: nothing there yet, a regular file, or a
// symbolic link that leads to a regular file or nowhere (the link is replaced). A directory, a
// device, a FIFO or a socket, or a link to one, is refused.
void check_output_target(const std::string &path);

// Installs the signal handlers that remove the temporary files of outputs in progress, and ignores
// SIGXFSZ. Called once, first thing in main.
void install_output_cleanup();

// An output being written: its temporary file, removed on destruction unless committed.
class PendingOutput {
  public:
    // Creates the temporary file beside `target` (mode 0666 less the umask). Throws FileError naming
    // the target.
    explicit PendingOutput(std::string target);
    ~PendingOutput();
    PendingOutput(const PendingOutput &) = delete;
    PendingOutput &operator=(const PendingOutput &) = delete;

    const std::string &target() const { return target_; }
    int fd() const { return fd_; }
    // The temporary file's name, for a library that writes the file by name after close().
    std::string temporary() const;

    // Writes all of `bytes` at the descriptor's position, or at `offset`. Throws FileError.
    void write(std::span<const std::uint8_t> bytes);
    void write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    // Closes the descriptor (for a library that writes the file by name, or on completion). Throws
    // FileError when the system reports a late write error.
    void close();
    // Hands the descriptor to a library that closes it itself.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the file if still open (a late write error throws). Only commit_all renames.
    void finish();

  private:
    friend void commit_all(std::initializer_list<PendingOutput *> outputs);
    std::string target_;
    int slot_ = -1; // where the temporary file's name is kept for the signal handlers
    int fd_ = -1;
    bool committed_ = false;
};

// Renames the finished outputs of one job over their targets (nullptr entries are skipped), all or
// none as far as signals go: the signals that stop the tool are blocked in this thread, and a handler
// running in another thread waits for the renames to end before it removes what is unfinished. The
// targets' names were checked when the outputs were made, so a rename fails only on a system fault.
void commit_all(std::initializer_list<PendingOutput *> outputs);

} // namespace plateio::cli
