// The plateio tool as a user meets it: help, wrong command lines, format detection, and the exit
// status and message for every way a file can fail to be read or written.
#include <gtest/gtest.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "plateio.h"
#include "support/image_files.hpp"
#include "support/tool_files.hpp"
#include "synth.hpp"
#include "tra_writer.hpp"
#include "xarea_writer.hpp"

namespace plateio::test {
namespace {

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(ToolHelp, TheToolAndEveryCommandDescribeThemselves) {
    struct Case {
        std::vector<std::string> args;
        const char *first_line;
    };
    const Case cases[] = {
        {{"--help"}, "usage: plateio COMMAND"},
        {{"help"}, "usage: plateio COMMAND"},
        {{"info", "--help"}, "usage: plateio info"},
        {{"convert", "-h"}, "usage: plateio convert"},
        {{"preview", "--help"}, "usage: plateio preview"},
        {{"synth", "--help"}, "usage: plateio synth"},
        {{"correct", "--help"}, "usage: plateio correct"},
        {{"help", "convert"}, "usage: plateio convert"},
        {{"convert", "no-such-file", "--help"}, "usage: plateio convert"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        const RunResult r = plateio(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(c.first_line, 0), 0u) << r.out;
        EXPECT_TRUE(contains(r.out, "Exit status")) << r.out;
        EXPECT_EQ(r.err, "");
    }
    const RunResult version = plateio({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("plateio 1.", 0), 0u);
}

TEST(ToolUsage, AWrongCommandLineExitsWithTwoAndSaysWhatIsWrong) {
    const std::string tra = tool_files().tra;
    struct Case {
        const char *name;
        std::vector<std::string> args;
        const char *message;
    };
    const Case cases[] = {
        {"no command", {}, "usage: plateio COMMAND"},
        {"unknown command", {"show", tra}, "unknown command 'show'"},
        {"unknown option", {"info", "--fast", tra}, "unknown option '--fast'"},
        {"info without files", {"info"}, "no FILE given"},
        {"convert without output", {"convert", tra}, "no output given"},
        {"option without value", {"convert", tra, "-o"}, "option -o needs a value"},
        {"unknown output format",
         {"convert", "--to", "png", "-o", "x.png", tra},
         "--to must be tiff, npy, cbf or h5"},
        {"extension against --to",
         {"convert", "--to", "npy", "-o", "x.tif", tra},
         "named as a TIFF file, but --to asks for NumPy"},
        {"extension against --to, any case",
         {"convert", "--to", "cbf", "-o", "x.H5", tra},
         "named as a HDF5 file"},
        {"preview named otherwise", {"preview", "-o", "p.jpg", tra}, "preview writes PNG images"},
        {"output is the input", {"convert", "--to", "npy", "-o", tra, tra}, "is the input"},
        {"preview over the input", {"preview", "-o", tra, tra}, "preview writes PNG images"},
        {"no format from extension",
         {"convert", "-o", "out.dat", tra},
         "cannot tell the format of 'out.dat'"},
        {"no threads", {"convert", "-j", "0", "-o", "out.tif", tra}, "-j must be an integer from 1 to 64"},
        {"threads not a number", {"convert", "-j", "two", "-o", "out.tif", tra}, "not 'two'"},
        {"two inputs one name", {"convert", "-o", "dir/", tra, tra}, "would both be written to"},
        {"two inputs into a file name", {"convert", "-o", "z.tif", tra, tra}, "'z.tif' is none"},
        {"two inputs into an existing file",
         {"convert", "-o", tra, tra, tra},
         "is none; name an existing one"},
        {"preview of two files", {"preview", "-o", "x.png", tra, tra}, "preview takes one FILE"},
        {"percentiles reversed",
         {"preview", "--low", "50", "--high", "10", "-o", "x.png", tra},
         "--low < --high"},
        {"size too large",
         {"preview", "--size", "65536", "-o", "x.png", tra},
         "--size must be an integer from 0"},
        {"synth without format", {"synth", "-o", "x.tra"}, "no format given"},
        {"synth unknown format", {"synth", "--format", "tiff", "-o", "x"}, "--format must be tra or xarea"},
        {"TRA of another size",
         {"synth", "--format", "tra", "--size", "100x100", "-o", "x"},
         "always 1200x1200"},
        {"compressed TRA", {"synth", "--format", "tra", "--compressed", "-o", "x"}, "a TRA file has none"},
        {"TRA geometry 7", {"synth", "--format", "tra", "--geometry", "7=1", "-o", "x"}, "not 7"},
        {"integer geometry",
         {"synth", "--format", "xarea", "--geometry", "6=1.5", "-o", "x"},
         "stored as an integer"},
        {"geometry index",
         {"synth", "--format", "xarea", "--geometry", "9=1", "-o", "x"},
         "the index of --geometry"},
        {"bad size", {"synth", "--format", "xarea", "--size", "100", "-o", "x"}, "--size must be WxH"},
        {"correct without distance", {"correct", "3", "4"}, "no distance given"},
        {"correct odd coordinates", {"correct", "--distance", "200", "3"}, "X Y pairs"},
        {"correct bad number",
         {"correct", "--distance", "far", "3", "4"},
         "--distance must be a finite number"},
        {"correct zero distance", {"correct", "--distance", "0", "3", "4"}, "must not be 0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = plateio(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

struct DetectCase {
    const char *name;
    std::vector<std::uint8_t> bytes;
    const char *format; // the format plateio info names; nullptr: neither
    const char *reason; // part of the message when neither
};

std::vector<std::uint8_t> tra_bytes(std::size_t extra, std::size_t cut) {
    writers::TraFile file;
    file.row_table[0] = 4; // half-width 2: rows 0 and 1199, 4 pixels each
    file.stream = {1, 2, 3, 4, 5, 6, 7, 8};
    auto bytes = writers::encode_tra(file);
    bytes.resize(bytes.size() + extra - cut, 0);
    return bytes;
}

// The family is the library's verdict (plateio_probe); the tool passes it on, and its reason when a
// file is neither, with nothing on standard output.
TEST(ToolDetection, TheLibraryTellsTheFamilyAndTheToolPassesOnItsReason) {
    auto wide_row = tra_bytes(0, 0);
    wide_row[336 + 2 * 5] = 0xb2; // row 5: table value 1202, half-width 601
    wide_row[336 + 2 * 5 + 1] = 0x04;
    const std::string text = "x y\n1 2\n";
    std::vector<std::uint8_t> xarea_magic(200, 0);
    std::copy_n("STOE_XFILE", 11, xarea_magic.begin());
    const DetectCase cases[] = {
        {"TRA", tra_bytes(0, 0), "tra", nullptr},
        {"TRA with a block's padding", tra_bytes(511, 0), "tra", nullptr},
        {"empty TRA plate", std::vector<std::uint8_t>(1536, 0), "tra", nullptr},
        {"TRA with more than padding", tra_bytes(512, 0), nullptr,
         "row table calls for 1552 bytes, but it has 2064"},
        {"truncated TRA", tra_bytes(0, 2), nullptr, "calls for 1552 bytes, but it has 1550"},
        {"row wider than the grid", wide_row, nullptr, "TRA row 5 would be 1202 pixels wide"},
        {"text", std::vector<std::uint8_t>(text.begin(), text.end()), nullptr, "at 8 bytes too short"},
        {"empty", {}, nullptr, "at 0 bytes too short"},
        {"X-Area",
         writers::xarea_file(writers::make_xi_header(2, 2, 0), std::vector<std::int32_t>{1, 2, 3, 4}, false),
         "xarea", nullptr},
    };
    TempDir dir;
    for (const DetectCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("file", c.bytes);
        const RunResult r = plateio({"info", path});
        if (c.format != nullptr) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(contains(r.out, std::string("  format: ") + c.format + "\n")) << r.out;
        } else {
            plateio_frame frame{};
            EXPECT_EQ(plateio_probe(path.c_str(), &frame), PLATEIO_E_FORMAT);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "plateio: " + path + ": " + frame.reason + "\n");
            EXPECT_TRUE(contains(r.err, c.reason)) << r.err;
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST(ToolFailures, FilesThatCannotBeReadExitWithOneAndNameTheFileAndTheReason) {
    TempDir dir;
    const std::string missing = dir.file("missing.tra");
    auto damaged_xarea =
        writers::xarea_file(writers::make_xi_header(100, 100, 0), std::vector<std::int32_t>(10000, 5), false);
    damaged_xarea.resize(damaged_xarea.size() - 4000);
    const std::string damaged = dir.write("damaged.xa", damaged_xarea);
    // Inputs that could block a reader forever are refused by their kind before they are opened
    // (the run is ended after 20 s if the tool waits on one after all).
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string socket_path = dir.file("socket");
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    plateio_frame frame{};
    ASSERT_EQ(plateio_probe(damaged.c_str(), &frame), PLATEIO_E_CORRUPT);
    const std::string library_reason = frame.reason;
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"info of a missing file", {"info", missing}, missing + ": No such file or directory"},
        {"convert of a missing file",
         {"convert", "-o", dir.file("x.tif"), missing},
         missing + ": No such file"},
        {"preview of a directory",
         {"preview", "-o", dir.file("x.png"), dir.path()},
         dir.path() + ": Is a directory"},
        {"info of a directory", {"info", dir.path()}, dir.path() + ": Is a directory"},
        {"info of a device", {"info", "/dev/zero"}, "/dev/zero: a character device, not a regular file"},
        {"info of a FIFO", {"info", fifo}, fifo + ": a FIFO (named pipe), not a regular file"},
        {"convert of a FIFO", {"convert", "-o", dir.file("f.npy"), fifo}, fifo + ": a FIFO (named pipe)"},
        {"preview of a FIFO", {"preview", "-o", dir.file("f.png"), fifo}, fifo + ": a FIFO (named pipe)"},
        {"info of a socket", {"info", socket_path}, socket_path + ": a socket, not a regular file"},
        {"damaged X-Area", {"info", damaged}, damaged + ": " + library_reason},
        {"damaged X-Area converted",
         {"convert", "-o", dir.file("d.npy"), damaged},
         damaged + ": " + library_reason},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions options;
        options.timeout_seconds = 20;
        const RunResult r = plateio(c.args, options);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err.rfind("plateio: " + c.message, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "") << "nothing of the library on standard output";
    }
    close(listener);
    struct stat ignored {};
    EXPECT_NE(stat(dir.file("d.npy").c_str(), &ignored), 0) << "no output for a file that was not read";
}

// Every output is written beside its target and renamed over it once complete: whatever stops a
// write (a missing directory, a file-size limit, a device in the way) leaves the target as it was
// and no temporary file behind.
TEST(ToolFailures, OutputsThatCannotBeWrittenExitWithOneAndLeaveEverythingAsItWas) {
    const ToolFiles &files = tool_files();
    TempDir dir;
    const std::string plain_file = dir.write("plain", std::vector<std::uint8_t>{1});
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string to_device = dir.file("to-device.npy");
    ASSERT_EQ(symlink("/dev/null", to_device.c_str()), 0);
    const long small = 64 * 1024; // bytes: every output of a 1200 x 1200 exposure is larger
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string message;
        long file_size_limit;
        std::string target; // an existing file that must keep its bytes, or ""
    };
    const Case cases[] = {
        {"TIFF under a file",
         {"convert", "-o", plain_file + "/x.tif", files.tra},
         plain_file + "/x.tif: Not a directory",
         -1,
         ""},
        {"npy in a missing directory",
         {"convert", "-o", dir.file("none/x.npy"), files.tra},
         dir.file("none/x.npy") + ": No such file or directory",
         -1,
         ""},
        {"PNG under a file",
         {"preview", "-o", plain_file + "/x.png", files.tra},
         plain_file + "/x.png: Not a directory",
         -1,
         ""},
        {"synth under a file",
         {"synth", "--format", "tra", "-o", plain_file + "/x.tra"},
         plain_file + "/x.tra: Not a directory",
         -1,
         ""},
        {"a device",
         {"convert", "--to", "npy", "-o", "/dev/full", files.tra},
         "/dev/full: a character device, not a regular file",
         -1,
         ""},
        {"a FIFO",
         {"convert", "--to", "cbf", "-o", fifo, files.tra},
         fifo + ": a FIFO (named pipe), not a regular file",
         -1,
         ""},
        {"a link to a device",
         {"convert", "-o", to_device, files.tra},
         to_device + ": a symbolic link to a character device",
         -1,
         ""},
        {"file-size limit, npy",
         {"convert", "-o", dir.file("big.npy"), files.tra},
         dir.file("big.npy") + ": File too large",
         small,
         "big.npy"},
        {"file-size limit, TIFF",
         {"convert", "-o", dir.file("big.tif"), files.tra},
         dir.file("big.tif") + ": ",
         small,
         "big.tif"},
        {"file-size limit, CBF",
         {"convert", "-o", dir.file("big.cbf"), files.tra},
         dir.file("big.cbf") + ": File too large",
         small,
         "big.cbf"},
        {"file-size limit, HDF5",
         {"convert", "-o", dir.file("big.h5"), files.tra},
         dir.file("big.h5") + ": File too large",
         small,
         "big.h5"},
        {"file-size limit, with --mask",
         {"convert", "--mask", "-o", dir.file("m.npy"), files.tra},
         dir.file("m.npy") + ": File too large",
         small,
         "m.npy"},
        {"file-size limit, PNG",
         {"preview", "--size", "0", "-o", dir.file("big.png"), files.tra},
         dir.file("big.png") + ": File too large",
         small,
         "big.png"},
        {"file-size limit, synth",
         {"synth", "--format", "tra", "-o", dir.file("big.tra")},
         dir.file("big.tra") + ": File too large",
         small,
         "big.tra"},
    };
    const std::vector<std::uint8_t> old_bytes = {'o', 'l', 'd'};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
#ifndef PLATEIO_TOOL_HAS_HDF5
        if (std::string(c.name).find("HDF5") != std::string::npos) {
            continue;
        }
#endif
        if (!c.target.empty()) {
            dir.write(c.target, old_bytes);
        }
        RunOptions options;
        options.file_size_limit = c.file_size_limit;
        const RunResult r = plateio(c.args, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("plateio: " + c.message, 0), 0u) << r.err;
        if (!c.target.empty()) {
            EXPECT_EQ(read_bytes(dir.file(c.target)), old_bytes) << "the target keeps its bytes";
        }
        std::vector<std::string> left;
        for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename().string().find("plateio-tmp") != std::string::npos) {
                left.push_back(entry.path().filename().string());
            }
        }
        EXPECT_TRUE(left.empty()) << left[0];
        EXPECT_FALSE(std::filesystem::exists(dir.file("m.mask.npy"))) << "no part of a failed job is kept";
    }
    struct stat device {};
    ASSERT_EQ(stat("/dev/full", &device), 0) << "a device is never replaced";
    EXPECT_TRUE(S_ISCHR(device.st_mode));
    ASSERT_EQ(lstat(to_device.c_str(), &device), 0);
    EXPECT_TRUE(S_ISLNK(device.st_mode));
}

TEST(ToolSafety, ALinkAtTheTargetIsReplacedAndWhatItLeadsToIsLeftAlone) {
    const ToolFiles &files = tool_files();
    TempDir dir;
    const std::vector<std::uint8_t> victim_bytes = {'v', 'i', 'c', 't', 'i', 'm'};
    const std::string victim = dir.write("victim", victim_bytes);
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string link;
        std::string leads_to;
    };
    const Case cases[] = {
        {"convert through a link to a file",
         {"convert", files.tra, "-o", dir.file("out.npy")},
         "out.npy",
         victim},
        {"a dangling link",
         {"convert", files.xarea, "-o", dir.file("gone.cbf")},
         "gone.cbf",
         dir.file("nowhere")},
        {"preview through a link", {"preview", files.tra, "-o", dir.file("p.png")}, "p.png", victim},
        {"synth through a link",
         {"synth", "--format", "xarea", "--size", "20x20", "-o", dir.file("s.xa")},
         "s.xa",
         victim},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(symlink(c.leads_to.c_str(), dir.file(c.link).c_str()), 0);
        const RunResult r = plateio(c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        struct stat status {};
        ASSERT_EQ(lstat(dir.file(c.link).c_str(), &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode)) << "the link became the output";
        EXPECT_GT(status.st_size, 100);
        EXPECT_EQ(read_bytes(victim), victim_bytes);
    }
    EXPECT_NE(access(dir.file("nowhere").c_str(), F_OK), 0);
}

TEST(ToolSafety, AnOutputThatIsAnInputIsRefusedBeforeAnythingIsWritten) {
    TempDir dir;
    const std::string input = dir.file("input.tra");
    std::filesystem::copy_file(tool_files().tra, input);
    const std::vector<std::uint8_t> before = read_bytes(input);
    ASSERT_EQ(symlink(input.c_str(), dir.file("link.npy").c_str()), 0);
    ASSERT_EQ(link(input.c_str(), dir.file("hard.cbf").c_str()), 0);
    ASSERT_TRUE(std::filesystem::create_directory(dir.file("out")));
    ASSERT_EQ(link(input.c_str(), dir.file("out/input.tif").c_str()), 0);
    ASSERT_EQ(symlink(input.c_str(), dir.file("link.png").c_str()), 0);
    ASSERT_EQ(link(input.c_str(), dir.file("input.mask.npy").c_str()), 0);
    struct Case {
        const char *name;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"the same name", {"convert", input, "--to", "npy", "-o", input}},
        {"a link to it", {"convert", input, "-o", dir.file("link.npy")}},
        {"a hard link", {"convert", input, "-o", dir.file("hard.cbf")}},
        {"a file of a folder", {"convert", input, tool_files().xarea, "-o", dir.file("out")}},
        {"the mask beside it", {"convert", input, "--mask", "-o", dir.file("input.npy")}},
        {"preview over a link to it", {"preview", input, "-o", dir.file("link.png")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = plateio(c.args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_TRUE(contains(r.err, "refusing to overwrite an input")) << r.err;
        EXPECT_EQ(read_bytes(input), before);
        EXPECT_FALSE(std::filesystem::exists(dir.file("input.npy"))) << "nothing was written";
        EXPECT_FALSE(std::filesystem::exists(dir.file("out/plain.tif"))) << "nothing was written";
    }
}

TEST(ToolSafety, AnInterruptedConversionLeavesNeitherTheOutputNorATemporaryFile) {
    TempDir dir;
    // Large enough that writing it takes a while: the signal comes while the temporary file exists.
    const std::string big = dir.file("big.xa");
    ASSERT_EQ(
        plateio({"synth", "--format", "xarea", "--compressed", "--size", "4096x4096", "-o", big}).status, 0);
    const std::string target = dir.file("old.npy");
    const std::vector<std::uint8_t> old_bytes = {'o', 'l', 'd'};
    struct Case {
        const char *name;
        int signal_number;
        const char *format;
        std::string output;
        bool existed;
    };
    const Case cases[] = {
        {"SIGINT, TIFF", SIGINT, "tiff", dir.file("new.tif"), false},
        {"SIGTERM over an old file", SIGTERM, "npy", target, true},
        {"SIGINT, CBF", SIGINT, "cbf", dir.file("new.cbf"), false},
    };
    const auto temporaries = [&dir] {
        std::vector<std::string> found;
        for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename().string().find(".plateio-tmp-") != std::string::npos) {
                found.push_back(entry.path().string());
            }
        }
        return found;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.existed) {
            dir.write("old.npy", old_bytes);
        }
        bool signalled = false;
        const int status = run_and_signal(
            PLATEIO_TOOL, {"convert", big, "--to", c.format, "-o", c.output},
            [&] { return !temporaries().empty(); }, c.signal_number, signalled);
        ASSERT_TRUE(signalled) << "the conversion ended before its temporary file was seen";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal_number) << "ended by its signal";
        EXPECT_TRUE(temporaries().empty());
        if (c.existed) {
            EXPECT_EQ(read_bytes(c.output), old_bytes);
        } else {
            EXPECT_FALSE(std::filesystem::exists(c.output));
        }
    }
}

TEST(ToolInfo, TextNamesEveryValueAndCountsWhatTheLibraryMarks) {
    const ToolFiles &files = tool_files();
    struct Case {
        const char *name;
        std::string path;
        bool xarea;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        // Every key of the header in its order, and only those the family carries.
        {"TRA",
         files.tra,
         false,
         {"  format: tra\n  source: powder.tra\n  width: 1200\n  height: 1200\n  compressed: 0\n"
          "  saturation_value: 65535\n  overflow_value: 256001\n",
          "  geometry_0: 80.0\n  geometry_2: 0.0\n  geometry_3: 0.7106999754905701\n  geometry_4: 250.0\n"
          "  geometry_5: 0.0\n  measured: "}},
        {"difference-coded X-Area",
         files.xarea_coded,
         true,
         {"  format: xarea\n  source: coded.xa\n  width: 320\n  height: 200\n  compressed: 1\n"
          "  overflow_threshold: 500000\n  saturation_value: 500001\n  overflow_value: 256001\n",
          "  geometry_8: 0.0\n  setting: 7\n  scale_value: 1.0\n  measured: "}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = plateio({"info", c.path});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind(c.path + "\n", 0), 0u);
        for (const std::string &line : c.lines) {
            EXPECT_TRUE(contains(r.out, line)) << line << "\nin\n" << r.out;
        }
        // Statistics over the pixels that carry a measurement: on the plate and not overflowed.
        const LoadedImage image = library_pixels(c.path, c.xarea);
        const std::vector<std::uint8_t> mask = library_mask(c.path);
        std::int64_t overflowed = 0;
        std::int64_t off_plate = 0;
        std::int32_t max = 0;
        double sum = 0.0;
        std::int64_t measured = 0;
        for (std::size_t i = 0; i < image.pixels.size(); ++i) {
            const std::int32_t v = image.pixels[i];
            off_plate += mask[i];
            overflowed += mask[i] == 0 && v == PIXEL_OVERFLOW ? 1 : 0;
            if (mask[i] == 0 && v != PIXEL_OVERFLOW) {
                max = std::max(max, v);
                sum += v;
                ++measured;
            }
        }
        EXPECT_GT(overflowed, 0);
        EXPECT_EQ(off_plate > 0, !c.xarea) << "a TRA plate leaves the grid's corners empty";
        char mean[64];
        std::snprintf(mean, sizeof mean, "%.3f", sum / static_cast<double>(measured));
        for (const std::string &line :
             {"  maximum: " + std::to_string(max) + "\n", "  mean: " + std::string(mean) + "\n",
              "  measured: " + std::to_string(measured) + "\n",
              "  off_plate_count: " + std::to_string(off_plate) + "\n",
              "  overflow_count: " + std::to_string(overflowed) + "\n"}) {
            EXPECT_TRUE(contains(r.out, line)) << line << "in\n" << r.out;
        }
        EXPECT_EQ(r.err, "");
    }
}

// The values of a "path = value" listing of check_json.
std::map<std::string, std::string> json_values(const std::string &listing) {
    std::map<std::string, std::string> values;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t equals = line.find(" = ");
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 3);
        }
    }
    return values;
}

// The path of a member of the document's i-th object, as check_json lists it.
std::string item(std::size_t i, const char *member) {
    std::string path = "[";
    path += std::to_string(i);
    path += "]";
    path += member;
    return path;
}

// A file name's bytes back from the JSON escape the tool documents: \\ is a backslash, \xHH a byte.
std::string unescape_name(const std::string &text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

TEST(ToolInfo, JsonIsAlwaysValidAndHasAnObjectForEveryFileInOrder) {
    const ToolFiles &files = tool_files();
    TempDir dir;
    const std::string missing = dir.file("missing.xa");
    auto damaged_bytes = read_bytes(files.xarea);
    damaged_bytes.resize(damaged_bytes.size() / 2);
    const std::string damaged = dir.write("damaged.xa", damaged_bytes);
    // A difference-coded block whose header gives one 16-bit value too many: read, with a warning.
    std::vector<std::int32_t> pixels(64 * 48);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::int32_t>((i * 37) % 1000) + (i % 97 == 0 ? 40000 : 0);
    }
    writers::XiContainer container;
    xi_header header = writers::make_xi_header(64, 48, 1);
    const writers::CompressedBlock block = writers::compress_pixels(pixels);
    header.delta16_count = block.delta16_count + 1;
    header.delta32_count = block.delta32_count;
    header.overflow_threshold = 1000000;
    container.entries.push_back({"XArea_ImgHdr", writers::record_bytes(header), {}, {}});
    std::vector<std::uint8_t> data = block.bytes;
    data.resize(data.size() + 2, 0);
    container.entries.push_back({"XArea_Image", data, {}, {}});
    const std::string mismatch = dir.write("mismatch.xa", writers::encode_xarea(container));
    plateio_frame frame{};
    std::vector<std::int32_t> read(pixels.size());
    ASSERT_EQ(plateio_read(mismatch.c_str(), read.data(), read.size(), &frame, 0), PLATEIO_OK);
    ASSERT_EQ(frame.warnings, PLATEIO_WARN_COUNTS);
    const std::string warning = frame.reason;
    // A name that is not UTF-8, with a backslash and a quote.
    const std::string odd = dir.file("caf\xe9 \\ \"q\".tra");
    std::filesystem::copy_file(files.tra, odd);

    struct Case {
        const char *name;
        std::vector<std::string> files;
        int status;
        std::vector<std::pair<std::string, std::string>> values; // path in the document, JSON value
        std::string err;
    };
    const Case cases[] = {
        {"a damaged file beside good ones",
         {files.tra, damaged, files.xarea},
         1,
         {{"[0].ok", "true"},
          {"[0].header.format", "\"tra\""},
          {"[0].header.overflow_threshold", "(none)"},
          {"[0].header.saturation_value", "65535"},
          {"[1].ok", "false"},
          {"[1].error.code", "10"},
          {"[1].file", "\"" + damaged + "\""},
          {"[2].ok", "true"},
          {"[2].header.width", "640"},
          {"[2].header.compressed", "0"},
          {"[2].header.saturation_value", "1048576"},
          {"[2].image_info.overflow_threshold", "1048575"}},
         "plateio: " + damaged + ": "},
        {"a missing file alone",
         {missing},
         1,
         {{"[0].ok", "false"},
          {"[0].error.code", "2"},
          {"[0].error.reason", "\"No such file or directory\""}},
         "plateio: " + missing + ": No such file or directory\n"},
        {"value counts that disagree",
         {mismatch},
         0,
         {{"[0].ok", "true"}, {"[0].header.compressed", "1"}, {"[0].warnings[0]", "\"" + warning + "\""}},
         "plateio: " + mismatch + ": warning: " + warning + "\n"},
        {"a name that is not UTF-8",
         {odd},
         0,
         {{"[0].ok", "true"},
          {"[0].header.off_plate_count", "329056"},
          {"[0].header.source", "\"caf\\\\xe9 \\\\\\\\ \\\"q\\\".tra\""},
          // The C record as the library fills it, single-precision values as the exact doubles.
          {"[0].header.geometry_3", "0.7106999754905701"},
          {"[0].image_info.geometry[3]", "0.7106999754905701"},
          {"[0].image_info.geometry[6]", "null"},
          {"[0].header.geometry_6", "(none)"}},
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"info", "--json"};
        args.insert(args.end(), c.files.begin(), c.files.end());
        const RunResult r = plateio(args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        const RunResult checked = check_json(r.out);
        if (checked.status == 77) {
            GTEST_SKIP() << "no Python to check JSON with";
        }
        ASSERT_EQ(checked.status, 0) << checked.err << "\n" << r.out;
        const auto values = json_values(checked.out);
        for (const auto &[path, value] : c.values) {
            EXPECT_EQ(values.count(path) ? values.at(path) : "(none)", value) << path;
        }
        EXPECT_EQ(values.count(item(c.files.size(), ".ok")), 0u) << "one object a file";
        for (std::size_t i = 0; i < c.files.size(); ++i) {
            const std::string file = values.at(item(i, ".file"));
            // Python gives the JSON text of the string: drop its quotes and undo its escapes.
            std::string text;
            for (std::size_t k = 1; k + 1 < file.size(); ++k) {
                text += file[k] == '\\' ? file[++k] : file[k];
            }
            EXPECT_EQ(unescape_name(text), c.files[i]) << "the name's bytes come back";
        }
    }
}

} // namespace
} // namespace plateio::test

namespace plateio::test {
namespace {

// Inputs and outputs a hostile user can arrange, each run through a shell: what the tool must say,
// and that it never crashes, blocks, loses output silently or leaves half a job behind.
TEST(ToolHostile, EachArrangementEndsWithItsStatusAndMessage) {
    const ToolFiles &files = tool_files();
    TempDir dir;
    for (const auto &[name, width, height, coded] : std::vector<std::tuple<std::string, int, int, bool>>{
             {"0x1025.xa", 0, 1025, false}, {"1025x0.xa", 1025, 0, true}, {"0x1025c.xa", 0, 1025, true}}) {
        dir.write(name, writers::xarea_file(writers::make_xi_header(width, height, coded ? 1 : 0),
                                            std::vector<std::int32_t>{}, coded));
    }
    const std::string q = "'" + dir.path() + "'/";
    const std::string tool = std::string("'") + PLATEIO_TOOL + "' ";
    const std::string xa = "'" + files.xarea + "'";
    const std::string long_stem = std::string(250, 'm');
    struct Case {
        const char *name;
        std::string command;
        int status;
        std::string message; // a part of standard error
    };
    const Case cases[] = {
        {"info --json to a full device", tool + "info --json " + xa + " > /dev/full", 1,
         "plateio: write error: No space left on device\n"},
        {"info to a full device", tool + "info " + xa + " > /dev/full", 1, "write error: No space left"},
        {"correct to a full device", tool + "correct --distance 200 3 4 > /dev/full", 1, "write error"},
        {"preview of 0 x 1025", tool + "preview -o " + q + "p.png " + q + "0x1025.xa", 1,
         "0 x 1025 pixels: nothing"},
        {"preview of coded 1025 x 0", tool + "preview -o " + q + "p.png " + q + "1025x0.xa", 1,
         "nothing to draw"},
        {"preview of coded 0 x 1025", tool + "preview --size 8 -o " + q + "p.png " + q + "0x1025c.xa", 1,
         "nothing to draw"},
        {"gzip", "gzip -c " + xa + " > " + q + "in.gz && " + tool + "info " + q + "in.gz", 0, ""},
        {"bzip2 under another name",
         "bzip2 -c " + xa + " > " + q + "in.tra && " + tool + "info " + q + "in.tra", 0, ""},
        {"xz into npy",
         "xz -c " + xa + " > " + q + "in.xz && " + tool + "convert -o " + q + "xz.npy " + q + "in.xz", 0, ""},
        {"capped by the limit",
         "gzip -c " + xa + " > " + q + "c.gz && PLATEIO_DECOMPRESS_LIMIT=1K " + tool + "info " + q + "c.gz",
         1, "gzip content larger than the limit of 1024 bytes"},
        {"a bomb of zeros",
         "head -c 100000000 /dev/zero | bzip2 > " + q + "z.bz2 && " + tool + "info " + q + "z.bz2", 1,
         "bzip2 content larger than the limit of 23977216 bytes"},
        {"damaged gzip", "printf '\\037\\213\\010\\000abc' > " + q + "d.gz && " + tool + "info " + q + "d.gz",
         1, "d.gz: gzip"},
        {"control characters in a name", tool + "info " + q + "\"$(printf 'a\\033[31m\\nb')\"", 1,
         "a\\x1b[31m\\x0ab: No such file"},
        {"invalid UTF-8 in a usage error", tool + "info --$(printf '\\377')", 2, "unknown option '--\\xff'"},
        {"a mask name too long", tool + "convert --mask -o " + q + long_stem + ".npy " + xa, 1,
         long_stem + ".mask.npy: File name too long"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = run_program("/bin/sh", {"-c", c.command});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\033'), std::string::npos) << "no raw ESC on the terminal";
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file(long_stem + ".npy"))) << "no image without its mask";
    EXPECT_FALSE(std::filesystem::exists(dir.file("p.png")));
    EXPECT_EQ(read_npy(dir.file("xz.npy")).values, library_pixels(files.xarea, true).pixels);
}

// The memory bound of the library, 64 MiB + 8 bytes a pixel byte, held by the tool on a large
// difference-coded exposure, whatever it writes (peak resident memory of the tool's process).
TEST(ToolHostile, ConvertAndInfoStayWithinTheMemoryBound) {
    TempDir dir;
    const std::string big = dir.file("big.xa");
    ASSERT_EQ(
        plateio({"synth", "--format", "xarea", "--compressed", "--size", "3000x3000", "-o", big}).status, 0);
    const double bound_kib = (64.0 * 1024 * 1024 + 8.0 * 4 * 3000 * 3000) / 1024;
    const std::vector<std::vector<std::string>> runs = {
        {"info", big},
        {"convert", "--to", "npy", "--mask", "-o", dir.file("o.npy"), big},
        {"convert", "--to", "tiff", "-o", dir.file("o.tif"), big},
        {"convert", "--to", "cbf", "--mask", "-o", dir.file("o.cbf"), big},
#ifdef PLATEIO_TOOL_HAS_HDF5
        {"convert", "--to", "h5", "--mask", "-o", dir.file("o.h5"), big},
#endif
    };
    for (const auto &run : runs) {
        SCOPED_TRACE(run[0] + " " + run[1] + " " + run[run.size() - 2]);
        std::vector<std::string> args = {
            "-c",
            "import resource, subprocess, sys\n"
            "done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)\n"
            "print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)",
            PLATEIO_TOOL};
        args.insert(args.end(), run.begin(), run.end());
        const RunResult r = run_program(PLATEIO_PYTHON, args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::istringstream words(r.out);
        int status = -1;
        double peak_kib = 0;
        words >> status >> peak_kib;
        EXPECT_EQ(status, 0);
        EXPECT_GT(peak_kib, 4.0 * 3000 * 3000 / 1024) << "the pixels alone are this large";
        EXPECT_LE(peak_kib, bound_kib);
    }
}

} // namespace
} // namespace plateio::test
