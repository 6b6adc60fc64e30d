# Short commands for people; the build itself is CMake + Ninja.
BUILD      ?= build
PORT       ?= 9761
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
ARM_BUILD  ?= build-armhf
ARM_CMAKE_ARGS ?=

.PHONY: all deps build run test clean install armhf-deps armhf test-armhf test-asan test-tsan

all: build

deps:
	@scripts/install-deps.sh build python

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DVALDRIX_WERROR=ON $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Builds only the simulator it runs, not the test suites.
run: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target valdrixd-sim
	$(BUILD)/bin/valdrixd-sim --port $(PORT)

test: build
	@scripts/install-deps.sh test
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)

# The whole suite under the sanitizers: address + undefined behaviour, and threads.
build-asan/build.ninja: | deps
	cmake -S . -B build-asan -G Ninja -DVALDRIX_WERROR=ON -DVALDRIX_SANITIZE=address,undefined $(CMAKE_ARGS)

test-asan: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

build-tsan/build.ninja: | deps
	cmake -S . -B build-tsan -G Ninja -DVALDRIX_WERROR=ON -DVALDRIX_SANITIZE=thread $(CMAKE_ARGS)

test-tsan: deps build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

# Installs into /usr (the service, its systemd unit and Avahi service, and the
# valdrix client); honours DESTDIR. Only the client: cmake --install $(BUILD) --component host
install: build
	cmake --install $(BUILD) --strip

# The instrument's build: static ARMv7 hard-float executables (the service, the
# simulator and the command-line client), and the whole test
# suite run under qemu-arm. Stripped copies for the instrument go to $(ARM_BUILD)/stripped.
armhf-deps:
	@scripts/install-deps.sh build arm

$(ARM_BUILD)/build.ninja: | armhf-deps
	cmake -S . -B $(ARM_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake \
	  -DVALDRIX_WERROR=ON $(ARM_CMAKE_ARGS)

armhf: armhf-deps $(ARM_BUILD)/build.ninja
	cmake --build $(ARM_BUILD) -j $(JOBS) --target valdrixd valdrixd-sim valdrix
	@mkdir -p $(ARM_BUILD)/stripped
	@for exe in valdrixd valdrixd-sim valdrix; do \
	  arm-linux-gnueabihf-strip -o $(ARM_BUILD)/stripped/$$exe $(ARM_BUILD)/bin/$$exe; \
	  echo "$$exe: $$(stat -c %s $(ARM_BUILD)/stripped/$$exe) bytes, stripped static ARM executable"; \
	done

test-armhf: armhf-deps $(ARM_BUILD)/build.ninja
	cmake --build $(ARM_BUILD) -j $(JOBS)
	ctest --test-dir $(ARM_BUILD) --output-on-failure -j $(JOBS)

# Request rate, latency and read-out throughput of valdrixd-sim next to this
# machine's loopback floor, measured in one run; prints the table and the targets.
BENCH_SECONDS ?= 3
.PHONY: bench
bench: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target valdrixd-sim valdrix-bench
	$(BUILD)/bin/valdrix-bench --standard -d $(BENCH_SECONDS) --spawn $(BUILD)/bin/valdrixd-sim

# Capture campaigns, batched and one request per trace, on loopback and through the
# bench's link emulator, next to the instrument's and the link's limits.
.PHONY: bench-campaign
bench-campaign: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target valdrixd-sim valdrix-bench
	$(BUILD)/bin/valdrix-bench campaign -d $(BENCH_SECONDS) --spawn $(BUILD)/bin/valdrixd-sim

# libFuzzer targets (clang-16, libc++), built in fuzz/build and run FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz:
	@scripts/install-deps.sh build fuzz
	fuzz/run.sh $(FUZZ_SECONDS)
