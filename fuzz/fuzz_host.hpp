// What every fuzz target shares: the input as a file a host would pass by path, the console the
// library prints on, and the invariants that hold whatever the bytes (nothing left open, nothing left
// allocated). A broken invariant is reported on standard error and aborts, which libFuzzer records
// as a crash with its reproducer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sanitizer/allocator_interface.h>
#include <span>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "plateio.h"
#include "support/proc_status.hpp"

#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "\nbroken invariant: %s (%s:%d)\n", #condition, __FILE__, __LINE__);        \
            std::fflush(stderr);                                                                             \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

namespace plateio::fuzz {

// A memory-backed file, reached by a path like any file on disk: /proc/self/fd/N. Each fopen of
// that path opens the file anew, at its start.
class MemoryFile {
  public:
    explicit MemoryFile(const char *name) : fd_(memfd_create(name, 0)) {
        FUZZ_CHECK(fd_ >= 0);
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;
    ~MemoryFile() { close(fd_); }

    // Replaces the file's contents by `bytes`.
    void assign(std::span<const std::uint8_t> bytes) const {
        FUZZ_CHECK(ftruncate(fd_, 0) == 0);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
            FUZZ_CHECK(n > 0);
            done += static_cast<std::size_t>(n);
        }
    }

    int fd() const { return fd_; }
    const char *path() const { return path_.c_str(); }

  private:
    int fd_;
    std::string path_;
};

// The library prints on standard output; the targets send it to a memory file and read back what a
// call printed. stdout gets a static buffer, so that printing allocates nothing the heap check sees.
class Console {
  public:
    Console() : sink_("plateio-fuzz-stdout") {
        static char buffer[1 << 16];
        std::fflush(stdout);
        FUZZ_CHECK(dup2(sink_.fd(), STDOUT_FILENO) == STDOUT_FILENO);
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    }

    // Forgets what was printed so far.
    void clear() const {
        std::fflush(stdout);
        FUZZ_CHECK(ftruncate(STDOUT_FILENO, 0) == 0);
        FUZZ_CHECK(lseek(STDOUT_FILENO, 0, SEEK_SET) == 0);
    }

    // Everything printed since the last clear().
    std::string text() const {
        std::fflush(stdout);
        const off_t size = lseek(STDOUT_FILENO, 0, SEEK_CUR);
        FUZZ_CHECK(size >= 0);
        std::string out(static_cast<std::size_t>(size), '\0');
        FUZZ_CHECK(pread(STDOUT_FILENO, out.data(), out.size(), 0) == size);
        return out;
    }

  private:
    MemoryFile sink_;
};

// Open descriptors of the process.
inline int open_descriptors() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    FUZZ_CHECK(dir != nullptr);
    while (const dirent *entry = readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return count;
}

// Bytes the program holds from the allocator, counted by the sanitizer's allocator.
inline std::size_t heap_in_use() {
    return __sanitizer_get_current_allocated_bytes();
}

// Taken before a call; check() after it, once the caller has released what was handed to it: no
// descriptor and no byte of heap may remain.
class ResourceMark {
  public:
    ResourceMark() : descriptors_(open_descriptors()), heap_(heap_in_use()) {}
    void check() const {
        FUZZ_CHECK(open_descriptors() == descriptors_);
        FUZZ_CHECK(heap_in_use() == heap_);
    }

  private:
    int descriptors_;
    std::size_t heap_;
};

// Aborts when the console text differs from what was expected, showing both with escapes visible.
inline void check_printed(const std::string &printed, const std::string &expected, const char *where) {
    if (printed == expected) {
        return;
    }
    const auto show = [](const std::string &text) {
        std::string out;
        for (const char c : text) {
            out += c == '\x1b' ? std::string("\\e") : c == '\n' ? std::string("\\n") : std::string(1, c);
        }
        return out;
    };
    std::fprintf(stderr, "\nbroken invariant (%s): printed\n  \"%s\"\nexpected\n  \"%s\"\n", where,
                 show(printed).c_str(), show(expected).c_str());
    std::fflush(stderr);
    std::abort();
}

// The growth of the process's resident memory over a stretch of work, at its peak: the kernel's
// high-water mark is reset at the start (clear_refs), so that a call that touched and released a
// large array within the stretch is seen.
class PeakResident {
  public:
    PeakResident() {
        FUZZ_CHECK(test::reset_peak_resident());
        start_kib_ = test::status_kib("VmRSS:");
        FUZZ_CHECK(start_kib_ >= 0);
    }
    // KiB the peak rose above where the stretch began.
    long growth_kib() const { return test::status_kib("VmHWM:") - start_kib_; }

  private:
    long start_kib_;
};

// Resident memory a call may take for damaged input of `input_bytes`: what the library needs whatever
// the file (its scratch, the decoder's output for what the input describes) and never more because a
// header claims more. The address sanitizer writes one shadow byte for every eight of an allocation
// when it is made, zero pages or not: for an array of `array_bytes` the call allocates, that much more.
inline long resident_allowance_kib(std::size_t input_bytes, std::uint64_t array_bytes = 0) {
    return 64 * 1024 + static_cast<long>(8 * input_bytes / 1024 + 1) +
           static_cast<long>(array_bytes / 8 / 1024 + 1);
}

// An X-Area file holding `record` (412 bytes) as its header entry and `entry` as its pixel entry.
inline std::vector<std::uint8_t> container_file(const void *record, std::span<const std::uint8_t> entry) {
    std::vector<std::uint8_t> file(104 + 2 * 40, 0);
    std::memcpy(file.data(), "STOE_XFILE", 11);
    const auto put = [&file](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    put(72, 2);
    std::memcpy(file.data() + 104, "XArea_ImgHdr", 13);
    put(104 + 24, 412);
    put(104 + 36, static_cast<std::uint32_t>(file.size()));
    std::memcpy(file.data() + 144, "XArea_Image", 12);
    put(144 + 24, static_cast<std::uint32_t>(entry.size()));
    put(144 + 36, static_cast<std::uint32_t>(file.size() + 412));
    const auto *bytes = static_cast<const std::uint8_t *>(record);
    file.insert(file.end(), bytes, bytes + 412);
    file.insert(file.end(), entry.begin(), entry.end());
    return file;
}

// plateio_read on the file of `bytes`, which a specified reader of `family` loads as `legacy` (or
// refuses, null): nothing printed; a file it takes for that family it reads to the legacy pixels, or
// refuses when the legacy reader does; an X-Area file (told by its magic, exactly) it reads whenever
// read_xi does; every result is a known code with a reason exactly when it is a failure.
inline void check_quiet_read(const char *path, const Console &console, std::span<const std::uint8_t> bytes,
                             std::int32_t family, const std::vector<std::int32_t> *legacy) {
    static std::vector<std::int32_t> pixels;
    console.clear();
    plateio_frame frame;
    std::int32_t code = plateio_read(path, nullptr, 0, &frame, 0);
    if (code == PLATEIO_E_CAPACITY) {
        pixels.assign(static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height), -7);
        code = plateio_read(path, pixels.data(), pixels.size(), &frame, 0);
    } else if (code == PLATEIO_OK) {
        pixels.clear();
    }
    FUZZ_CHECK(console.text().empty());
    FUZZ_CHECK(code >= PLATEIO_OK && code <= PLATEIO_E_PATH);
    FUZZ_CHECK((code == PLATEIO_OK) == (frame.reason[0] == '\0' || frame.warnings != 0));
    const bool magic = bytes.size() >= 11 && std::memcmp(bytes.data(), "STOE_XFILE", 11) == 0;
    FUZZ_CHECK((frame.family == PLATEIO_FAMILY_XAREA) == magic);
    if (frame.family == family) {
        FUZZ_CHECK((code == PLATEIO_OK) <= (legacy != nullptr));
        FUZZ_CHECK(code != PLATEIO_OK || pixels == *legacy);
    }
    if (family == PLATEIO_FAMILY_XAREA && magic) {
        FUZZ_CHECK((code == PLATEIO_OK) == (legacy != nullptr));
    }
}

template <class Record> bool same_bytes(const Record &a, const Record &b) {
    return std::memcmp(&a, &b, sizeof(Record)) == 0;
}

template <class Record> Record patterned(unsigned char byte = 0x5a) {
    Record record;
    std::memset(&record, byte, sizeof record);
    return record;
}

} // namespace plateio::fuzz
