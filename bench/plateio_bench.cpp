// Benchmarks of every reader against baselines measured in the same run: memcpy of the output's
// bytes (warm buffers), malloc + memset + free of them, and fread of the same file into a warm
// buffer. The machine is shared and noisy, so only ratios to a baseline of the same run are
// reported; `make bench` prints the table of medians and ratios at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/isa.hpp"
#include "file_io.hpp"
#include "host/host_routines.hpp"
#include "plateio.h"
#include "synth.hpp"
#include "xarea/decode.hpp"
#include "xarea_writer.hpp"
#ifdef PLATEIO_BENCH_CBF
#include "cbf.hpp" // the tool's CBF writer
#include "md5.hpp"
#endif

namespace {

using plateio::Isa;

// ---- Test images, made once per process with the project's writers ------------------------------

struct CodedImage {
    std::string name;
    std::size_t pixels = 0;
    plateio::writers::CompressedBlock coded;
    std::string path; // the same image as an X-Area file
};

struct Corpus {
    std::filesystem::path dir;
    std::map<std::string, CodedImage> coded;
    std::string plain2048;
    std::string tra_full;

    Corpus() {
        dir = std::filesystem::temp_directory_path() / "plateio-bench";
        std::filesystem::create_directories(dir);
        for (int side : {1024, 2048, 4096}) {
            add_exposure(side);
        }
        add_adversarial();
        add_tra();
        // Read every file once so that the benchmarks read from the page cache.
        for (const auto &entry : std::filesystem::directory_iterator(dir)) {
            std::vector<char> sink(1 << 20);
            std::FILE *f = std::fopen(entry.path().c_str(), "rb");
            while (f != nullptr && std::fread(sink.data(), 1, sink.size(), f) > 0) {
            }
            if (f != nullptr) {
                std::fclose(f);
            }
        }
    }

    std::string write(const std::string &name, const std::vector<std::uint8_t> &bytes) {
        const std::string path = (dir / name).string();
        if (!plateio::writers::write_file(path, bytes)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            std::exit(1);
        }
        return path;
    }

    static plateio::writers::ExposureValues values() {
        plateio::writers::ExposureValues v;
        v.geometry = {80.0, 0.0, 1.5418, 250.0, 0.1, 0.0, 3, 4, 5};
        v.overflow_threshold = 65000;
        return v;
    }

    void add_exposure(int side) {
        plateio::writers::SynthSettings settings;
        settings.width = side;
        settings.height = side;
        settings.seed = 7;
        // Rings of a few thousand counts and some eighty saturated grains: about 1 % of the
        // differences need 16 bits and 0.01 % need 32, as in a typical powder exposure.
        settings.peak = 4000.0;
        settings.saturated_spots = 80;
        const auto image = plateio::writers::synth_exposure(settings);
        CodedImage c;
        c.name = "exposure" + std::to_string(side);
        c.pixels = image.size();
        c.coded = plateio::writers::compress_pixels(image);
        c.path = write(c.name + ".xa", plateio::writers::synth_xarea_file(image, side, side, values(), true));
        if (side == 2048) {
            plain2048 =
                write("plain2048.xa", plateio::writers::synth_xarea_file(image, side, side, values(), false));
            std::fprintf(stderr, "exposure 2048^2: %.3f %% 16-bit and %.4f %% 32-bit differences\n",
                         100.0 * c.coded.delta16_count / static_cast<double>(c.pixels),
                         100.0 * c.coded.delta32_count / static_cast<double>(c.pixels));
        }
        coded[c.name] = std::move(c);
    }

    // Blocks built code by code: every code 254, every code 255, uniformly random codes.
    void add_adversarial() {
        const std::size_t n = std::size_t{2048} * 2048;
        std::mt19937 random(99);
        for (const char *kind : {"all254", "all255", "random"}) {
            CodedImage c;
            c.name = kind;
            c.pixels = n;
            auto &bytes = c.coded.bytes;
            bytes.resize(n);
            for (auto &code : bytes) {
                code = kind[3] == '2' && kind[5] == '4'   ? 254
                       : kind[3] == '2' && kind[5] == '5' ? 255
                                                          : static_cast<std::uint8_t>(random());
            }
            for (std::uint8_t code : bytes) {
                c.coded.delta16_count += code == 254 ? 1 : 0;
                c.coded.delta32_count += code == 255 ? 1 : 0;
            }
            bytes.resize(n + 2 * static_cast<std::size_t>(c.coded.delta16_count) +
                         4 * static_cast<std::size_t>(c.coded.delta32_count));
            for (std::size_t i = n; i < bytes.size(); ++i) {
                bytes[i] = static_cast<std::uint8_t>(random() & 0x07); // small side values
            }
            coded[c.name] = std::move(c);
        }
    }

    void add_tra() {
        plateio::writers::SynthSettings settings; // 1200 x 1200
        settings.seed = 3;
        auto image = plateio::writers::synth_exposure(settings);
        // A full-span file: every row holds all 1200 pixels.
        std::array<std::uint16_t, plateio::writers::kTraRowTableEntries> table;
        table.fill(1200);
        std::vector<std::uint16_t> grid(image.begin(), image.end());
        tra_full =
            write("full.tra", plateio::writers::encode_tra(plateio::writers::tra_from_grid(grid, table, {})));
    }
};

Corpus &corpus() {
    static Corpus instance;
    return instance;
}

std::size_t file_size(const std::string &path) {
    return std::filesystem::file_size(path);
}

// A buffer of `bytes` that has been written once, so that it is resident and warm.
struct WarmBuffer {
    explicit WarmBuffer(std::size_t bytes)
        : data(static_cast<std::uint8_t *>(std::malloc(bytes))), size(bytes) {
        std::memset(data, 1, size);
    }
    ~WarmBuffer() { std::free(data); }
    WarmBuffer(const WarmBuffer &) = delete;
    WarmBuffer &operator=(const WarmBuffer &) = delete;
    std::uint8_t *data;
    std::size_t size;
};

void set_bytes(benchmark::State &state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

// ---- Baselines --------------------------------------------------------------------------------------

void baseline_memcpy(benchmark::State &state, std::size_t bytes) {
    WarmBuffer from(bytes);
    WarmBuffer to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data, from.data, bytes);
        benchmark::DoNotOptimize(to.data);
        benchmark::ClobberMemory();
    }
    set_bytes(state, bytes);
}

void baseline_malloc_memset_free(benchmark::State &state, std::size_t bytes) {
    for (auto _ : state) {
        void *block = std::malloc(bytes);
        std::memset(block, 0, bytes);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
    set_bytes(state, bytes);
}

void baseline_fread(benchmark::State &state, const std::string &path) {
    const std::size_t bytes = file_size(path);
    WarmBuffer into(bytes);
    for (auto _ : state) {
        std::FILE *file = std::fopen(path.c_str(), "rb");
        const std::size_t read = std::fread(into.data, 1, bytes, file);
        std::fclose(file);
        benchmark::DoNotOptimize(read);
    }
    set_bytes(state, bytes);
}

// ---- The decoder core -------------------------------------------------------------------------------

void decoder_core(benchmark::State &state, const char *image, Isa isa) {
    const CodedImage &c = corpus().coded.at(image);
    const auto layout = plateio::xarea::entry_layout(c.pixels, c.coded.bytes.size(), c.coded.delta16_count,
                                                     c.coded.delta32_count);
    const std::span<const std::uint8_t> bytes(c.coded.bytes);
    plateio::xarea::CodedSections sections = plateio::xarea::value_sections(bytes.subspan(c.pixels), layout);
    sections.codes = bytes.first(c.pixels);
    WarmBuffer out(c.pixels * 4);
    for (auto _ : state) {
        plateio::xarea::DecodeState decode;
        plateio::xarea::decode_codes(isa, sections, reinterpret_cast<std::int32_t *>(out.data), c.pixels,
                                     decode, nullptr);
        benchmark::DoNotOptimize(decode);
        benchmark::ClobberMemory();
    }
    set_bytes(state, c.pixels * 4);
}

// ---- Whole calls, as a host loop makes them ---------------------------------------------------------

void uncompress_call(benchmark::State &state, const char *image) {
    const CodedImage &c = corpus().coded.at(image);
    xi_header header = plateio::writers::make_xi_header(static_cast<std::int32_t>(std::sqrt(c.pixels)),
                                                        static_cast<std::int32_t>(std::sqrt(c.pixels)), 1);
    plateio::writers::set_field(header.delta16_count, c.coded.delta16_count);
    plateio::writers::set_field(header.delta32_count, c.coded.delta32_count);
    for (auto _ : state) {
        state.PauseTiming(); // the host's block comes from readXImage; make one outside the timing
        void *block = std::malloc(c.coded.bytes.size());
        std::memcpy(block, c.coded.bytes.data(), c.coded.bytes.size());
        state.ResumeTiming();
        uncompressImage(&header, &block);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
    set_bytes(state, c.pixels * 4);
}

void read_xi_call(benchmark::State &state, const std::string &path) {
    std::size_t pixels = 0;
    for (auto _ : state) {
        pixel_image image{};
        reduction_params params{};
        if (read_xi(path.c_str(), &image, &params) != 1) {
            state.SkipWithError("read_xi failed");
            break;
        }
        pixels = static_cast<std::size_t>(image.pixel_count);
        std::free(image.pixels);
    }
    set_bytes(state, pixels * 4);
    state.counters["ns_per_pixel"] =
        benchmark::Counter(static_cast<double>(pixels) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// plateio_read into the host's array, warm and reused from call to call, as a host reading a series.
void quiet_read_call(benchmark::State &state, const std::string &path, std::size_t pixels) {
    WarmBuffer out(pixels * 4);
    for (auto _ : state) {
        plateio_frame frame;
        if (plateio_read(path.c_str(), reinterpret_cast<std::int32_t *>(out.data), pixels, &frame, 0) != 0) {
            state.SkipWithError(frame.reason);
            break;
        }
        benchmark::ClobberMemory();
    }
    set_bytes(state, pixels * 4);
}

void read_xi_header_call(benchmark::State &state, const std::string &path) {
    for (auto _ : state) {
        image_info info{};
        if (read_xi_header(path.c_str(), &info) != 1) {
            state.SkipWithError("read_xi_header failed");
            break;
        }
        benchmark::DoNotOptimize(info);
    }
}

void read_tra_call(benchmark::State &state, int marking) {
    const std::string &path = corpus().tra_full;
    for (auto _ : state) {
        std::int32_t *pixels = nullptr;
        std::int32_t width = 0;
        std::int32_t height = 0;
        const std::int32_t ok = marking ? read_tra(path.c_str(), &pixels, &width, &height)
                                        : read_short_tra(path.c_str(), &pixels, &width, &height);
        if (ok != 1) {
            state.SkipWithError("read failed");
            break;
        }
        std::free(pixels);
    }
    set_bytes(state, std::size_t{1200} * 1200 * 4);
}

void read_az_tra_call(benchmark::State &state) {
    const std::string &path = corpus().tra_full;
    std::vector<std::int32_t> map(std::size_t{1200} * 1200);
    for (std::size_t i = 0; i < map.size(); ++i) {
        map[i] = static_cast<std::int32_t>(i);
    }
    std::vector<std::int32_t> cells(map.size(), 0);
    std::int32_t *map_pointer = map.data();
    for (auto _ : state) {
        remap_target target{};
        target.cells = cells.data();
        target.grid_mode = 600;
        target.cell_count = static_cast<std::int32_t>(cells.size());
        if (read_az_tra(path.c_str(), &target, &map_pointer) != 1) {
            state.SkipWithError("read_az_tra failed");
            break;
        }
        benchmark::DoNotOptimize(target);
    }
    set_bytes(state, std::size_t{1200} * 1200 * 4);
}

// ---- Geometry -------------------------------------------------------------------------------------

constexpr int kPoints = 1024;

geometry_params sample_geometry() {
    return {0.3, 0.5, 1.0, -2.0, 0.5, 1.5, -2.5, 30.0};
}

std::vector<double> sample_points() {
    std::vector<double> points(2 * kPoints);
    std::mt19937 random(1);
    for (auto &p : points) {
        p = std::uniform_real_distribution<double>(-150.0, 150.0)(random);
    }
    return points;
}

void transform_call(benchmark::State &state, int inverse) {
    const geometry_params params = sample_geometry();
    std::vector<double> points = sample_points();
    for (auto _ : state) {
        for (int i = 0; i < kPoints; ++i) {
            if (inverse) {
                anti_correct(&points[2 * static_cast<std::size_t>(i)], &params, 200.0);
            } else {
                correct_cry(&points[2 * static_cast<std::size_t>(i)], &params, 200.0);
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}

void correct_points_call(benchmark::State &state, int inverse) {
    const geometry_params params = sample_geometry();
    std::vector<double> points = sample_points();
    for (auto _ : state) {
        plateio_correct_points(points.data(), kPoints, &params, 200.0, inverse);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}

// The trigonometric calls a batch must make: the six sines and cosines of the parameters' angles once
// for the batch, and for every point the twist's radian sine and cosine with the square root of the
// radius.
void batch_trig_baseline(benchmark::State &state) {
    const geometry_params params = sample_geometry();
    std::vector<double> points = sample_points();
    for (auto _ : state) {
        using plateio::host::call_cosd;
        using plateio::host::call_sind;
        double acc = call_sind(params.rotation) + call_cosd(params.rotation) + call_cosd(-params.tilt_x) +
                     call_sind(-params.tilt_x) + call_cosd(params.tilt_y) + call_sind(params.tilt_y);
        for (int i = 0; i < kPoints; ++i) {
            const double *p = &points[2 * static_cast<std::size_t>(i)];
            const double phi = params.tangential_shift / std::sqrt(p[0] * p[0] + p[1] * p[1]);
            acc += std::sin(phi) + std::cos(phi);
        }
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}

// The trigonometric calls one transform must make: six of sind/cosd (through the library's routines)
// and the twist's radian sine and cosine, with the square root of the radius.
void trig_baseline(benchmark::State &state) {
    const geometry_params params = sample_geometry();
    std::vector<double> points = sample_points();
    for (auto _ : state) {
        for (int i = 0; i < kPoints; ++i) {
            double *p = &points[2 * static_cast<std::size_t>(i)];
            const double r = std::sqrt(p[0] * p[0] + p[1] * p[1]);
            const double phi = params.tangential_shift / r;
            using plateio::host::call_cosd;
            using plateio::host::call_sind;
            double acc = call_sind(params.rotation) + call_cosd(params.rotation) + call_cosd(-params.tilt_x) +
                         call_sind(-params.tilt_x) + call_cosd(params.tilt_y) + call_sind(params.tilt_y) +
                         std::sin(phi) + std::cos(phi);
            benchmark::DoNotOptimize(acc);
        }
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}

// ---- Registration and the ratio table --------------------------------------------------------------

struct Row {
    std::string name;
    std::string baseline; // empty: the row is a baseline
    std::string target;
};

void register_all(std::vector<Row> &rows) {
    const auto reg = [&rows](const std::string &name, const std::string &baseline, const std::string &target,
                             auto &&fn) {
        benchmark::RegisterBenchmark(name.c_str(), fn)
            ->Unit(benchmark::kMicrosecond)
            ->MinTime(0.05)
            ->Repetitions(11)
            ->ReportAggregatesOnly(true);
        rows.push_back({name, baseline, target});
    };
    Corpus &c = corpus();
    const std::string m1024 = "baseline/memcpy/1024^2";
    const std::string m2048 = "baseline/memcpy/2048^2";
    const std::string m4096 = "baseline/memcpy/4096^2";
    const std::string m1200 = "baseline/memcpy/1200^2";
    for (const auto &[name, pixels] :
         std::vector<std::pair<std::string, std::size_t>>{{m1024, 1024u * 1024u},
                                                          {m2048, 2048u * 2048u},
                                                          {m4096, 4096u * 4096u},
                                                          {m1200, 1200u * 1200u}}) {
        const std::size_t bytes = pixels * 4;
        reg(name, "", "", [bytes](benchmark::State &s) { baseline_memcpy(s, bytes); });
    }
    reg("baseline/malloc+memset+free/2048^2", m2048, "",
        [](benchmark::State &s) { baseline_malloc_memset_free(s, 2048u * 2048u * 4u); });
    const std::string coded2048 = c.coded.at("exposure2048").path;
    reg("baseline/fread/exposure2048.xa", m2048, "",
        [coded2048](benchmark::State &s) { baseline_fread(s, coded2048); });
    const std::string tra = c.tra_full;
    reg("baseline/fread/full-span.tra", m1200, "", [tra](benchmark::State &s) { baseline_fread(s, tra); });

    // Every decoder path this processor runs, on the realistic image and the adversarial blocks;
    // the targets stand on the path the library chooses.
    const Isa chosen = plateio::best_isa();
    for (const char *image : {"exposure2048", "all254", "all255", "random"}) {
        const bool realistic = std::string(image) == "exposure2048";
        for (const Isa isa : plateio::supported_isas()) {
            const std::string target = isa == Isa::portable ? (realistic ? "<= 3" : "<= 6")
                                       : isa == chosen      ? (realistic ? "<= 0.9" : "<= 2")
                                                            : "";
            reg(std::string("decoder/") + plateio::isa_name(isa) + (isa == chosen ? "*/" : "/") + image,
                m2048, target, [image, isa](benchmark::State &s) { decoder_core(s, image, isa); });
        }
    }
    reg("uncompressImage/exposure2048", m2048, "<= 1.1",
        [](benchmark::State &s) { uncompress_call(s, "exposure2048"); });
    for (const auto &[side, baseline] :
         std::vector<std::pair<int, std::string>>{{1024, m1024}, {2048, m2048}, {4096, m4096}}) {
        const std::string path = c.coded.at("exposure" + std::to_string(side)).path;
        reg("read_xi/coded/exposure" + std::to_string(side), baseline, side == 2048 ? "<= 1.5" : "",
            [path](benchmark::State &s) { read_xi_call(s, path); });
    }
    for (const auto &[side, baseline] :
         std::vector<std::pair<int, std::string>>{{1024, m1024}, {2048, m2048}, {4096, m4096}}) {
        const std::string path = c.coded.at("exposure" + std::to_string(side)).path;
        const std::size_t pixels = static_cast<std::size_t>(side) * static_cast<std::size_t>(side);
        reg("plateio_read/coded/exposure" + std::to_string(side), baseline, side == 2048 ? "<= 1.0" : "",
            [path, pixels](benchmark::State &s) { quiet_read_call(s, path, pixels); });
    }
    const std::string plain = c.plain2048;
    reg("read_xi/plain/exposure2048", m2048, "", [plain](benchmark::State &s) { read_xi_call(s, plain); });
    reg("read_xi_header/coded/exposure2048", m2048, "<= 0.4",
        [coded2048](benchmark::State &s) { read_xi_header_call(s, coded2048); });
    reg("read_tra/full-span", m1200, "<= 1.0", [](benchmark::State &s) { read_tra_call(s, 1); });
    reg("read_short_tra/full-span", m1200, "<= 1.0", [](benchmark::State &s) { read_tra_call(s, 0); });
    reg("read_az_tra/identity-map", m1200, "<= 2.0", [](benchmark::State &s) { read_az_tra_call(s); });
    reg("baseline/trig-calls/1024-points", "", "", [](benchmark::State &s) { trig_baseline(s); });
    reg("correct_cry/1024-points", "baseline/trig-calls/1024-points", "<= 1.5",
        [](benchmark::State &s) { transform_call(s, 0); });
    reg("anti_correct/1024-points", "baseline/trig-calls/1024-points", "<= 1.5",
        [](benchmark::State &s) { transform_call(s, 1); });
    reg("baseline/batch-trig-calls/1024-points", "", "", [](benchmark::State &s) { batch_trig_baseline(s); });
    reg("plateio_correct_points/1024-points", "baseline/batch-trig-calls/1024-points", "<= 1.2",
        [](benchmark::State &s) { correct_points_call(s, 0); });
    reg("plateio_correct_points/inverse/1024-points", "baseline/batch-trig-calls/1024-points", "<= 1.2",
        [](benchmark::State &s) { correct_points_call(s, 1); });

#ifdef PLATEIO_BENCH_CBF
    // The tool's CBF writer (the plateio_cbf library) on the 2048^2 exposure, against reading that
    // exposure with plateio_read into a warm array. Writing means the byte-offset code, its MD5 and
    // the file's bytes into the page cache (the file is rewritten in place, as the read reads a
    // cached file); the MD5 alone runs at about 0.6 GB/s on this kind of processor.
    {
        const std::string cbf_source = c.coded.at("exposure2048").path;
        const std::string cbf_read = "tool/plateio_read/exposure2048";
        const auto cbf_pixels = std::make_shared<std::vector<std::int32_t>>(std::size_t{2048} * 2048);
        plateio_frame cbf_frame{};
        plateio_read(cbf_source.c_str(), cbf_pixels->data(), cbf_pixels->size(), &cbf_frame, 0);
        reg(cbf_read, "", "", [cbf_source, cbf_pixels](benchmark::State &s) {
            for (auto _ : s) {
                plateio_frame frame{};
                if (plateio_read(cbf_source.c_str(), cbf_pixels->data(), cbf_pixels->size(), &frame, 0) !=
                    0) {
                    s.SkipWithError("plateio_read failed");
                    break;
                }
                benchmark::ClobberMemory();
            }
        });
        struct FileSink : plateio::cli::CbfSink {
            std::FILE *file = nullptr;
            void write(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
                if (std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0 ||
                    std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
                    throw std::runtime_error("cannot write the CBF file");
                }
            }
        };
        const std::string cbf_out = (c.dir / "exposure2048.cbf").string();
        reg("tool/cbf-write/exposure2048", cbf_read, "<= 3", [cbf_pixels, cbf_out](benchmark::State &s) {
            const plateio::cli::HeaderFields fields = {{"format", std::string("X-Area")},
                                                       {"width", std::int64_t{2048}}};
            for (auto _ : s) {
                FileSink sink;
                sink.file = std::fopen(cbf_out.c_str(), "r+b");
                sink.file = sink.file != nullptr ? sink.file : std::fopen(cbf_out.c_str(), "w+b");
                plateio::cli::write_cbf(sink, *cbf_pixels, 2048, 2048, fields, "exposure2048");
                std::fclose(sink.file);
            }
        });
        // The floor under CBF writing: MD5 alone over the exposure's byte-offset code.
        const auto cbf_code =
            std::make_shared<std::vector<std::uint8_t>>(cbf_pixels->size() * plateio::cli::kByteOffsetWorst);
        cbf_code->resize(plateio::cli::byte_offset_encode(*cbf_pixels, 0, cbf_code->data()));
        reg("tool/md5-of-the-code/exposure2048", cbf_read, "", [cbf_code](benchmark::State &s) {
            for (auto _ : s) {
                plateio::cli::Md5 md5;
                md5.update(*cbf_code);
                benchmark::DoNotOptimize(md5.finish());
            }
        });
        reg("tool/cbf-code+md5/exposure2048", cbf_read, "", [cbf_pixels](benchmark::State &s) {
            struct NoSink : plateio::cli::CbfSink {
                void write(std::uint64_t, std::span<const std::uint8_t> bytes) override {
                    benchmark::DoNotOptimize(bytes.data());
                }
            } sink;
            for (auto _ : s) {
                plateio::cli::write_cbf(sink, *cbf_pixels, 2048, 2048, {}, "exposure2048");
            }
        });
    }
#endif
}

// Keeps the median of every benchmark while the console reporter prints as usual.
class MedianCollector : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" && !run.error_occurred) {
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians; // microseconds
};

std::string cpu_model() {
    std::FILE *info = std::fopen("/proc/cpuinfo", "r");
    char line[512];
    std::string model = "unknown processor";
    while (info != nullptr && std::fgets(line, sizeof line, info) != nullptr) {
        if (std::strncmp(line, "model name", 10) == 0) {
            const char *colon = std::strchr(line, ':');
            model = colon != nullptr ? std::string(colon + 2) : model;
            model.erase(model.find_last_not_of("\n") + 1);
            break;
        }
    }
    if (info != nullptr) {
        std::fclose(info);
    }
    return model;
}

void print_table(const std::vector<Row> &rows, const std::map<std::string, double> &medians) {
    std::printf("\n%s; decoder path chosen: %s (marked *)\n", cpu_model().c_str(),
                plateio::isa_name(plateio::best_isa()));
    std::printf("\n%-40s %12s  %-28s %8s  %s\n", "benchmark (median of 11)", "time [us]",
                "baseline (same run)", "ratio", "target");
    for (const Row &row : rows) {
        const auto found = medians.find(row.name);
        if (found == medians.end()) {
            continue;
        }
        if (row.baseline.empty()) {
            std::printf("%-40s %12.1f  %-28s %8s\n", row.name.c_str(), found->second, "-", "-");
            continue;
        }
        const auto base = medians.find(row.baseline);
        const double ratio = base != medians.end() ? found->second / base->second : NAN;
        std::printf("%-40s %12.1f  %-28s %8.2f  %s\n", row.name.c_str(), found->second, row.baseline.c_str(),
                    ratio, row.target.c_str());
    }
    const auto per_pixel = [&](const std::string &name, double pixels) {
        const auto found = medians.find(name);
        return found != medians.end() ? found->second * 1000.0 / pixels : NAN;
    };
    const double small = per_pixel("read_xi/coded/exposure1024", 1024.0 * 1024.0);
    const double large = per_pixel("read_xi/coded/exposure4096", 4096.0 * 4096.0);
    std::printf(
        "\nread_xi time per pixel: 1024^2 %.3f ns, 2048^2 %.3f ns, 4096^2 %.3f ns (4096^2 / 1024^2 = %.2f)\n",
        small, per_pixel("read_xi/coded/exposure2048", 2048.0 * 2048.0), large, large / small);
    const double quiet_small = per_pixel("plateio_read/coded/exposure1024", 1024.0 * 1024.0);
    const double quiet_large = per_pixel("plateio_read/coded/exposure4096", 4096.0 * 4096.0);
    std::printf("plateio_read into a reused array, per pixel: 1024^2 %.3f ns, 2048^2 %.3f ns, 4096^2 %.3f ns "
                "(4096^2 / 1024^2 = %.2f, target <= 1.3)\n",
                quiet_small, per_pixel("plateio_read/coded/exposure2048", 2048.0 * 2048.0), quiet_large,
                quiet_large / quiet_small);
}

} // namespace

int main(int argc, char **argv) {
    // The repetitions of all benchmarks run interleaved in random order, so that a slow spell of
    // this shared machine falls on baselines and readers alike instead of on one row.
    std::vector<char *> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    std::vector<Row> rows;
    register_all(rows);
    MedianCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_table(rows, reporter.medians);
    benchmark::Shutdown();
    return 0;
}
