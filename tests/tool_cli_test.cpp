// The plateio tool as a user meets it: help, wrong command lines, format detection, and the exit
// status and message for every way a file can fail to be read or written.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <sys/stat.h>

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
        {"unknown output format", {"convert", "--to", "png", "-o", "x.png", tra}, "--to must be tiff or npy"},
        {"no format from extension",
         {"convert", "-o", "out.dat", tra},
         "cannot tell the format of 'out.dat'"},
        {"no threads", {"convert", "-j", "0", "-o", "out.tif", tra}, "-j must be an integer from 1 to 64"},
        {"threads not a number", {"convert", "-j", "two", "-o", "out.tif", tra}, "not 'two'"},
        {"two inputs one name", {"convert", "-o", "dir", tra, tra}, "would both be written to"},
        {"preview of two files", {"preview", "-o", "x.png", tra, tra}, "preview takes one FILE"},
        {"percentiles reversed",
         {"preview", "--low", "50", "--high", "10", "-o", "x.png", tra},
         "--low < --high"},
        {"size zero", {"preview", "--size", "0", "-o", "x.png", tra}, "--size must be an integer from 1"},
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
    const char *format; // the "format" line of plateio info; nullptr: neither
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

TEST(ToolDetection, FormatsAreToldByMagicOrByStructure) {
    auto wide_row = tra_bytes(0, 0);
    wide_row[336 + 2 * 5] = 0xb2; // row 5: table value 1202, half-width 601
    wide_row[336 + 2 * 5 + 1] = 0x04;
    const std::string text = "x y\n1 2\n";
    std::vector<std::uint8_t> xarea_magic(200, 0);
    std::copy_n("STOE_XFILE", 11, xarea_magic.begin());
    const DetectCase cases[] = {
        {"TRA", tra_bytes(0, 0), "TRA", nullptr},
        {"TRA with a block's padding", tra_bytes(511, 0), "TRA", nullptr},
        {"empty TRA plate", std::vector<std::uint8_t>(1536, 0), "TRA", nullptr},
        {"TRA with more than padding", tra_bytes(512, 0), nullptr,
         "row table calls for 1552 bytes, but it has 2064"},
        {"truncated TRA", tra_bytes(0, 2), nullptr, "calls for 1552 bytes, but it has 1550"},
        {"row wider than the grid", wide_row, nullptr, "TRA row 5 would be 1202 pixels wide"},
        {"text", std::vector<std::uint8_t>(text.begin(), text.end()), nullptr, "at 8 bytes too short"},
        {"empty", {}, nullptr, "at 0 bytes too short"},
        {"X-Area",
         writers::xarea_file(writers::make_xi_header(2, 2, 0), std::vector<std::int32_t>{1, 2, 3, 4}, false),
         "X-Area (plain pixels)", nullptr},
    };
    TempDir dir;
    for (const DetectCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("file", c.bytes);
        const RunResult r = plateio({"info", path});
        if (c.format != nullptr) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(contains(r.out, std::string("  format              ") + c.format + "\n")) << r.out;
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(
                r.err.rfind("plateio: " + path + ": not a TRA or X-Area exposure: no X-Area magic, and ", 0),
                0u);
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
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string message;
        const char *library_says; // what the library printed on standard output, or ""
    };
    const Case cases[] = {
        {"info of a missing file", {"info", missing}, missing + ": No such file or directory", ""},
        {"convert of a missing file",
         {"convert", "-o", dir.file("x.tif"), missing},
         missing + ": No such file",
         ""},
        {"preview of a directory",
         {"preview", "-o", dir.file("x.png"), dir.path()},
         dir.path() + ": Is a directory",
         ""},
        {"info of a directory", {"info", dir.path()}, dir.path() + ": Is a directory", ""},
        {"info of a device", {"info", "/dev/null"}, "/dev/null: not a regular file", ""},
        {"damaged X-Area",
         {"info", damaged},
         damaged + ": readXImage could not read its container",
         "readXImage(): "},
        {"damaged X-Area converted",
         {"convert", "-o", dir.file("d.npy"), damaged},
         damaged + ": read_xi could not load it",
         "readXImage(): "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = plateio(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("plateio: " + c.message, 0), 0u) << r.err;
        EXPECT_TRUE(contains(r.out, c.library_says)) << r.out;
    }
    struct stat ignored {};
    EXPECT_NE(stat(dir.file("d.npy").c_str(), &ignored), 0) << "no output for a file that was not read";
}

TEST(ToolFailures, OutputsThatCannotBeWrittenExitWithOneAndLeaveNoFile) {
    const ToolFiles &files = tool_files();
    TempDir dir;
    const std::string plain_file = dir.write("plain", std::vector<std::uint8_t>{1});
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"TIFF under a file",
         {"convert", "-o", plain_file + "/x.tif", files.tra},
         plain_file + "/x.tif: Not a directory"},
        {"npy in a missing directory",
         {"convert", "-o", dir.file("none/x.npy"), files.tra},
         dir.file("none/x.npy") + ": No such file or directory"},
        {"PNG under a file",
         {"preview", "-o", plain_file + "/x.png", files.tra},
         plain_file + "/x.png: Not a directory"},
        {"synth under a file",
         {"synth", "--format", "tra", "-o", plain_file + "/x.tra"},
         plain_file + "/x.tra: Not a directory"},
        {"a full disk, npy",
         {"convert", "--to", "npy", "-o", "/dev/full", files.tra},
         "/dev/full: No space left on device"},
        {"a full disk, TIFF", {"convert", "--to", "tiff", "-o", "/dev/full", files.xarea}, "/dev/full: "},
        {"a full disk, PNG",
         {"preview", "-o", "/dev/full", files.xarea},
         "/dev/full: No space left on device"},
        {"a full disk, synth",
         {"synth", "--format", "xarea", "--size", "10x10", "-o", "/dev/full"},
         "/dev/full: No space left on device"},
        {"a directory as the output folder is a file",
         {"convert", "-o", plain_file, files.tra, files.xarea},
         plain_file + ": "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = plateio(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("plateio: " + c.message, 0), 0u) << r.err;
    }
    struct stat device {};
    ASSERT_EQ(stat("/dev/full", &device), 0) << "a device written to is never removed";
    EXPECT_TRUE(S_ISCHR(device.st_mode));
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
        {"TRA",
         files.tra,
         false,
         {"  format              TRA\n", "  size                1200 x 1200\n", "  overload_count      -1\n",
          "  geometry[0]         80\n", "  geometry[1]         0\n", "  geometry[3]         0.7107\n",
          "  geometry[4]         250\n", "  geometry[6]         -\n", "  geometry[8]         -\n",
          "  setting             -1\n", "  overflow_threshold  -1\n", "  scale_value         -1\n",
          "  path                " + files.tra + "\n"}},
        {"difference-coded X-Area",
         files.xarea_coded,
         true,
         {"  format              X-Area (difference-coded pixels)\n", "  size                320 x 200\n",
          "  geometry[6]         0\n", "  setting             7\n", "  overflow_threshold  500000\n",
          "  scale_value         1\n"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = plateio({"info", c.path});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind(c.path + "\n", 0), 0u);
        for (const std::string &line : c.lines) {
            EXPECT_TRUE(contains(r.out, line)) << line << "\nin\n" << r.out;
        }
        const LoadedImage image = library_pixels(c.path, c.xarea);
        std::int64_t overflowed = 0;
        std::int32_t max = 0;
        for (std::int32_t v : image.pixels) {
            overflowed += v == PIXEL_OVERFLOW ? 1 : 0;
            max = v == PIXEL_OVERFLOW ? max : std::max(max, v);
        }
        EXPECT_GT(overflowed, 0);
        EXPECT_TRUE(contains(r.out, "  maximum             " + std::to_string(max) + "\n")) << r.out;
        EXPECT_TRUE(contains(r.out, "  overflowed          " + std::to_string(overflowed) + "\n")) << r.out;
    }
}

TEST(ToolInfo, JsonDescribesEveryFileThatCouldBeReadAndStillReportsTheOthers) {
    const ToolFiles &files = tool_files();
    TempDir dir;
    const std::string missing = dir.file("missing.xa");
    const RunResult r = plateio({"info", "--json", files.tra, missing, files.xarea});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "plateio: " + missing + ": No such file or directory\n");
    EXPECT_EQ(r.out.rfind("[\n  {\n    \"file\": \"" + files.tra + "\",\n", 0), 0u) << r.out;
    EXPECT_TRUE(contains(r.out, "\"format\": \"tra\""));
    // TRA values are single precision; JSON gives the double the library returned, exactly.
    char single[64];
    const auto end = std::to_chars(single, single + sizeof single, static_cast<double>(0.7107f)).ptr;
    EXPECT_TRUE(contains(r.out, "\"geometry\": [80, 0, 0, " + std::string(single, end) +
                                    ", 250, 0, null, null, null]"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "\"format\": \"xarea\""));
    EXPECT_TRUE(contains(r.out, "\"width\": 640,\n    \"height\": 480,\n    \"compressed\": false"));
    EXPECT_TRUE(contains(r.out, "\"overflow_threshold\": 1048575"));
    EXPECT_EQ(r.out.substr(r.out.size() - 6), "  }\n]\n");
    EXPECT_FALSE(contains(r.out, missing));

    const RunResult none = plateio({"info", "--json", missing});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "[]\n");
}

} // namespace
} // namespace plateio::test
