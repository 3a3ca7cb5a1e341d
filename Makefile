# The two commands of the README:
#   make test   configure, build and run every test (build tree build/release)
#   make demo   synthesise exposures, describe, preview and convert them (TIFF, CBF, NeXus/HDF5) with
#               the plateio tool, and load them through the example host
# Others: make bench, make fuzz [FUZZ_SECONDS=60], make cross-test ARCH=aarch64|s390x, make format,
# make clean.
# CMAKE_ARGS passes extra cache settings, e.g. make test CMAKE_ARGS=-DPLATEIO_WERROR=ON.

PRESET ?= release
BUILD := build/$(PRESET)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

.PHONY: all deps configure build test demo bench cross-test clean format

all: build

deps:
	@tools/install-deps.sh test python

configure: deps
	cmake --preset $(PRESET) $(CMAKE_ARGS)

build: configure
	cmake --build --preset $(PRESET) -j $(JOBS)

test: build
	ctest --preset $(PRESET) -j $(JOBS)

# The demo: two synthetic exposures, described, previewed, converted, and read by the example host.
TOOL := $(BUILD)/tools/plateio
DEMO := build/demo
demo: build
	@rm -rf $(DEMO) && mkdir -p $(DEMO)
	@echo "== synthesise a TRA exposure and a difference-coded X-Area exposure"
	$(TOOL) synth --format tra --seed 1 --geometry 0=80 --geometry 2=0.5 --geometry 3=0.7107 \
		--geometry 4=250 --geometry 5=1.5 -o $(DEMO)/powder.tra
	$(TOOL) synth --format xarea --compressed --size 1000x1000 --seed 2 --geometry 0=80 --geometry 1=0.25 \
		--geometry 2=0.5 --geometry 3=0.7107 --geometry 4=250 --geometry 5=1.5 --geometry 6=3 \
		--geometry 7=1 --geometry 8=2 --setting 1 --scale-value 0.85 -o $(DEMO)/powder_xarea.xa
	@echo "== describe them"
	$(TOOL) info $(DEMO)/powder.tra $(DEMO)/powder_xarea.xa
	@echo "== PNG previews and 32-bit TIFF conversions"
	$(TOOL) preview --size 600 -o $(DEMO)/powder.png $(DEMO)/powder.tra
	$(TOOL) preview --size 600 -o $(DEMO)/powder_xarea.png $(DEMO)/powder_xarea.xa
	$(TOOL) convert -j 2 --to tiff -o $(DEMO) $(DEMO)/powder.tra $(DEMO)/powder_xarea.xa
	@echo "== CBF (with the plate's mask beside it) and NeXus/HDF5, as crystallography programs read them"
	$(TOOL) convert --to cbf --mask -o $(DEMO)/powder.cbf $(DEMO)/powder.tra
	$(TOOL) convert --to h5 --poni $(DEMO)/powder_xarea.poni -o $(DEMO)/powder_xarea.h5 $(DEMO)/powder_xarea.xa
	@echo "== a rotation series with spots, as one NXmx file that DIALS, pyFAI and fabio open (geometry: synth's .poni)"
	$(TOOL) synth --format tra --no-rings --spots 20 --frames 5 --oscillation 0,1 --seed 3 -o $(DEMO)/series_###.tra
	$(TOOL) convert --stack --quiet --poni $(DEMO)/series.poni --oscillation 0,1 -o $(DEMO)/series.h5 \
		$(DEMO)/series_001.tra $(DEMO)/series_002.tra $(DEMO)/series_003.tra $(DEMO)/series_004.tra \
		$(DEMO)/series_005.tra
	@echo "== the example host: dlopen by name, its own sind, cosd and binning"
	$(BUILD)/examples/plateio_example_host $(DEMO)/powder.tra $(DEMO)/powder_xarea.xa
	@if [ -x $(BUILD)/examples/plateio_example_fortran_host ]; then \
		echo "== the Fortran example host: the plateio module, its own bind(C) sind, cosd and binning"; \
		echo "$(BUILD)/examples/plateio_example_fortran_host $(DEMO)/powder.tra $(DEMO)/powder_xarea.xa"; \
		$(BUILD)/examples/plateio_example_fortran_host $(DEMO)/powder.tra $(DEMO)/powder_xarea.xa; \
	fi
	@echo "== files written" && ls -l $(DEMO)

# The benchmark table: medians of 11 repetitions and their ratios to baselines of the same run.
# BENCH_FILTER selects benchmarks by regular expression (default: all).
BENCH_FILTER ?= .
bench:
	@tools/install-deps.sh bench
	$(MAKE) build PRESET=release
	build/release/bench/plateio_bench --benchmark_filter='$(BENCH_FILTER)' 2>/dev/null | sed -n '/decoder path chosen/,$$p'

# The fuzzers: build the fuzz preset (clang, libFuzzer, sanitizers) and run every target for
# FUZZ_SECONDS on a working copy of its seed corpus; findings and their reproducers land in
# build/fuzz/fuzz/findings. FUZZ_TARGETS picks some (e.g. "read_xi uncompress_image").
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
.PHONY: fuzz
fuzz:
	@tools/install-deps.sh fuzz
	cmake --preset fuzz $(CMAKE_ARGS)
	cmake --build --preset fuzz -j $(JOBS)
	fuzz/run.sh build/fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# A cross build for ARCH (aarch64, or s390x: big-endian) in build/cross-$(ARCH), its tests run under
# qemu-user; the tests that need the build machine itself (their labels in tests/CMakeLists.txt) are
# left out.
ARCH ?= aarch64
CROSS_ARCHS := aarch64 s390x
cross-test:
	@case " $(CROSS_ARCHS) " in *" $(ARCH) "*) ;; *) echo "ARCH must be one of: $(CROSS_ARCHS)"; exit 2 ;; esac
	@tools/install-deps.sh cross
	cmake --preset cross-$(ARCH) $(CMAKE_ARGS)
	cmake --build --preset cross-$(ARCH) -j $(JOBS)
	ctest --preset cross-$(ARCH) -j $(JOBS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp' '*.h' '*.c')

clean:
	rm -rf build
