# Thin front of the CMake presets. `make test` and `make demo` are the two
# commands a fresh machine needs: each installs what is missing first.

SHELL := /bin/bash
JOBS ?= $(shell nproc)

# Debian packages the build and the tests need.
PACKAGES := cmake ninja-build g++ clang-14 lld-14 llvm-14 libc++-14-dev libc++abi-14-dev \
            libclang-rt-14-dev libfuzzer-14-dev googletest libgtest-dev libbenchmark-dev \
            libopenimageio-dev openimageio-tools fonts-dejavu-core libcli11-dev file \
            pybind11-dev python3-dev python3-numpy python3-pytest python3-openimageio \
            g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 clang-format-14 slurm-wlm munge \
            dpkg-dev help2man lintian man-db bash-completion libdeflate-dev libopenexr-dev \
            qemu-user-static g++-aarch64-linux-gnu

.PHONY: deps format format-check test demo bench release asan debug windows macos-cross arm64-linux tsan fuzz-test fuzz soak package clean

deps:
	@bash scripts/install-deps.sh $(PACKAGES)

# Configure, build and test one preset: make release | asan | debug | windows | macos-cross |
# arm64-linux | tsan (windows: the .aex, tested under Wine; macos-cross: the universal macOS
# bundle, checked here; arm64-linux: the plug-in and its tests for arm64, run under qemu-user;
# tsan: the reliability tests under ThreadSanitizer)
release asan debug windows macos-cross arm64-linux tsan: deps
	cmake --preset $@
	cmake --build --preset $@ -j $(JOBS)
	ctest --preset $@ -j $(JOBS)

# Formatting of the C++ sources (clang-format 14, .clang-format): `make
# format` applies it, `make format-check` (the first step of `make test`)
# fails on a file that is not formatted.
format: deps
	@bash scripts/check-format.sh --fix
format-check: deps
	@bash scripts/check-format.sh

# Every preset's tests, one after the other, each one's time printed; what
# the presets need from the machine is checked first.
TEST_STEPS := format-check release asan tsan fuzz-test windows macos-cross arm64-linux
test: deps
	@bash scripts/check-machine.sh
	@bash scripts/run-presets.sh $(TEST_STEPS)

# The Windows zip, the universal macOS bundle tree and the Debian package in dist/,
# from tested builds.
package: deps
	$(MAKE) --no-print-directory windows
	$(MAKE) --no-print-directory macos-cross
	$(MAKE) --no-print-directory release
	cmake --build --preset windows --target orvane_package
	cmake --build --preset macos-cross --target orvane_package
	cmake --build --preset release --target veilshadow_deb

# The fuzz preset's tests: every seed of each fuzz target, then a run of a
# fixed number of executions from a fixed seed (about 30 s) of each.
fuzz-test: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	ctest --preset fuzz -j $(JOBS)

# Longer fuzzing: FUZZ_SECONDS per target from a fresh random seed, one
# after the other; what each finds is kept in build/fuzz/fuzz/long/ and
# grows from run to run.
FUZZ_SECONDS ?= 300
FUZZ_TARGETS := kernel_fuzzer command_fuzzer image_fuzzer array_fuzzer exr_fuzzer png_fuzzer
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	@for t in $(FUZZ_TARGETS); do \
	  fuzz/run_fuzzer.sh run build/fuzz/fuzz/$$t fuzz/corpus/$$t build/fuzz/fuzz/long/$$t $(FUZZ_SECONDS) keep || exit 1; \
	done

# 10,000 small and 100 UHD frames through one loaded module, with the
# process's resident memory at the start, after warm-up and at the end.
soak: deps
	cmake --preset release
	cmake --build --preset release --target veilshadow_soak -j $(JOBS)
	build/release/tests/reliability/veilshadow_soak

demo: deps
	cmake --preset release
	cmake --build --preset release --target veilshadow -j $(JOBS)
	build/release/cli/veilshadow demo -o demo-output
	@echo "Pictures written to $$(pwd)/demo-output (contact.png shows them side by side)"

bench: deps
	cmake --preset release
	cmake --build --preset release --target veilshadow_bench veilshadow_sequence_bench -j $(JOBS)
	build/release/bench/veilshadow_bench
	build/release/bench/veilshadow_sequence_bench

clean:
	rm -rf build dist
