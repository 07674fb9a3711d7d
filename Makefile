# Thin front of the CMake presets. `make test` and `make demo` are the two
# commands a fresh machine needs: each installs what is missing first.

SHELL := /bin/bash
JOBS ?= $(shell nproc)

# Debian packages the build and the tests need.
PACKAGES := cmake ninja-build g++ clang-14 lld-14 llvm-14 libc++-14-dev libc++abi-14-dev \
            libclang-rt-14-dev libfuzzer-14-dev googletest libgtest-dev libbenchmark-dev \
            libopenimageio-dev openimageio-tools libcli11-dev file \
            g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64

.PHONY: deps test demo bench release asan debug clean

deps:
	@bash scripts/install-deps.sh $(PACKAGES)

# Configure, build and test one preset: make release | asan | debug
release asan debug: deps
	cmake --preset $@
	cmake --build --preset $@ -j $(JOBS)
	ctest --preset $@ -j $(JOBS)

test: deps
	$(MAKE) --no-print-directory release
	$(MAKE) --no-print-directory asan

demo: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	@if [ -x build/release/cli/veilshadow ]; then \
	  build/release/cli/veilshadow demo -o demo-output && \
	  echo "Pictures written to $$(pwd)/demo-output (contact.png shows them side by side)"; \
	else \
	  echo "Built the plug-in and its tests; the veilshadow program is not part of this build yet."; \
	fi

bench: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	@if [ -x build/release/bench/veilshadow_bench ]; then build/release/bench/veilshadow_bench; \
	else echo "No benchmarks in this build yet."; fi

clean:
	rm -rf build dist
