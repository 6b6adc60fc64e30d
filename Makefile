# Short commands for people; the build itself is CMake + Ninja.
BUILD      ?= build
PORT       ?= 9761
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps build run test clean

all: build

deps:
	@scripts/install-deps.sh build

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DVALDRIX_WERROR=ON $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/valdrixd-sim --port $(PORT)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
