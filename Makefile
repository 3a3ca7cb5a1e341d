# The two commands of the README:
#   make test   configure, build and run every test (build tree build/release)
#   make demo   synthesise exposures and load them through the library and an example host
# Others: make bench, make fuzz [FUZZ_SECONDS=60], make format, make clean.
# CMAKE_ARGS passes extra cache settings, e.g. make test CMAKE_ARGS=-DPLATEIO_WERROR=ON.

PRESET ?= release
BUILD := build/$(PRESET)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

.PHONY: all deps configure build test demo clean format

all: build

deps:
	@tools/install-deps.sh test python

configure: deps
	cmake --preset $(PRESET) $(CMAKE_ARGS)

build: configure
	cmake --build --preset $(PRESET) -j $(JOBS)

test: build
	ctest --preset $(PRESET) -j $(JOBS)

demo: build
	@rm -rf build/demo && mkdir -p build/demo
	$(BUILD)/tools/plateio_demo_files build/demo/exposure.tra
	$(BUILD)/examples/plateio_example_host build/demo/exposure.tra
	@echo "demo files:" && ls -l build/demo

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp' '*.h' '*.c')

clean:
	rm -rf build
