# Set-up commands: `make demo` and `make test`.
JOBS ?= 2
MAKEFLAGS += --no-print-directory
FUZZ_SECONDS ?= 60
SMOKE_SECONDS ?= 10
FUZZERS := parse_request credentials matchers

.PHONY: all build build-arm64 demo deps fuzz-run test test-plain test-sanitizers fuzz fuzz-smoke bench package image image-from coverage clean

all: build

# WERROR=ON (as CI sets it) turns every compiler warning into an error.
WERROR ?= OFF
CMAKE_COMMON := -DCMAKE_COMPILE_WARNING_AS_ERROR=$(WERROR)

# build/ is the plain optimised build; build-<sanitizer>/ and build-fuzz/ sit beside it.
build-%/.configured:
	cmake -S . -B build-$* $(CMAKE_COMMON) $(CMAKE_FLAGS_$*) >/dev/null
	touch $@

# Test builds ask for the tests, so a missing GoogleTest stops them loudly.
CMAKE_FLAGS_asan := -DSANITIZE=address,undefined -DSTDHTTPD_TESTS=ON
CMAKE_FLAGS_tsan := -DSANITIZE=thread -DSTDHTTPD_TESTS=ON
CMAKE_FLAGS_fuzz := -DCMAKE_CXX_COMPILER=clang++ -DSTDHTTPD_FUZZ=ON
CMAKE_FLAGS_coverage := -DCMAKE_BUILD_TYPE=Debug -DSTDHTTPD_TESTS=ON -DSTDHTTPD_COVERAGE=ON

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build -j $(JOBS)

demo: build
	tools/demo build/stdhttpd

test-sanitizers: build-asan/.configured build-tsan/.configured
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 tools/run-ctest build-asan -j $(JOBS)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 tools/run-ctest build-tsan -j $(JOBS)

# Each harness starts from the seeds in tests/fuzz/corpus; what it finds goes to fuzz-out/.
# The harnesses run at once, each on one core, and are then reported in turn.
fuzz-run: build-fuzz/.configured
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZERS:%=fuzz_%)
	@pids=; for f in $(FUZZERS); do \
	  mkdir -p fuzz-out/$$f; \
	  ./build-fuzz/fuzz_$$f fuzz-out/$$f tests/fuzz/corpus/$$f -max_len=16384 \
	    -max_total_time=$(FUZZ_TIME) -print_final_stats=1 2>fuzz-out/$$f.log & pids="$$pids $$!"; \
	done; \
	set -- $(FUZZERS); failed=0; \
	for p in $$pids; do \
	  echo "fuzz_$$1: $(FUZZ_TIME) s"; \
	  if wait $$p; then grep -E '^(Done|stat::number_of_executed_units)' fuzz-out/$$1.log; \
	  else tail -50 fuzz-out/$$1.log; failed=1; fi; \
	  shift; \
	done; exit $$failed

fuzz:
	$(MAKE) fuzz-run FUZZ_TIME=$(FUZZ_SECONDS)

fuzz-smoke:
	$(MAKE) fuzz-run FUZZ_TIME=$(SMOKE_SECONDS)

# The servers for 64-bit ARM, with Debian's cross compiler, in build-arm64/.
build-arm64:
	cmake -S . -B build-arm64 $(CMAKE_COMMON) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTDHTTPD_TESTS=OFF -DSTDHTTPD_QUICK=ON >/dev/null
	cmake --build build-arm64 -j $(JOBS)

# Where the cross compiler and the emulator are installed, the black-box
# cases run a second time, on the ARM servers.
ARM64 := $(if $(and $(shell command -v aarch64-linux-gnu-g++),$(shell command -v qemu-aarch64-static)),$(CURDIR)/build-arm64)

test-plain:
	$(if $(ARM64),$(MAKE) build-arm64)
	cmake -S . -B build $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTDHTTPD_TESTS=ON \
	  -DSTDHTTPD_ARM64=$(ARM64) >/dev/null
	cmake --build build -j $(JOBS)
	tools/run-ctest build -j $(JOBS)

deps:
	tools/test-deps

# The plain suite runs last, so its summary closes the output.
test: deps
	$(MAKE) fuzz-smoke
	$(MAKE) test-sanitizers
	$(MAKE) test-plain

bench: build
	cmake -S . -B build -DSTDHTTPD_BENCH=ON >/dev/null
	cmake --build build -j $(JOBS)
	bench/run

# Line and branch coverage of src/ over the plain suite, in build-coverage/.
# Not part of `make test`. The servers that the tests run as another user
# write their counts there too, so the folder is left open to them.
coverage: deps build-coverage/.configured
	cmake --build build-coverage -j $(JOBS)
	find build-coverage -name '*.gcda' -delete
	build-coverage/stdhttpd </dev/null  # makes every count file of the server
	chmod -R a+rwX build-coverage
	-GCOV_ERROR_FILE=$(CURDIR)/build-coverage/gcov-errors.txt tools/run-ctest build-coverage -j $(JOBS)
	gcovr --root . --filter src/ --exclude-throw-branches --print-summary \
	  --txt build-coverage/coverage.txt build-coverage
	@echo "per file: build-coverage/coverage.txt"

# The Debian package, in $(PACKAGE_BUILD): stdhttpd_<version>_<arch>.deb.
PACKAGE_BUILD ?= build-package
# Reproducible: every time stamp in the package is the last commit's, unless
# the caller names another.
package: export SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null || stat -c %Y packaging/debian/changelog)
package:
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DSTDHTTPD_PACKAGE=ON \
	  -DSTDHTTPD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target stdhttpd package_files
	cd $(PACKAGE_BUILD) && cpack -G DEB >/dev/null && ls "$$PWD"/*.deb

# The container image $(IMAGE), with podman: the static server and tcpserver,
# FROM scratch (deploy/container/Containerfile). Reproducible, as the package.
IMAGE ?= localhost/stdhttpd:latest
IMAGE_BUILD ?= build-image
image: export SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null || stat -c %Y packaging/debian/changelog)
image:
	cmake -S . -B $(IMAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DSTDHTTPD_TESTS=OFF >/dev/null
	cmake --build $(IMAGE_BUILD) -j $(JOBS) --target stdhttpd
	$(MAKE) image-from SERVER=$(IMAGE_BUILD)/stdhttpd

# The image around the static server $(SERVER); its context is $(IMAGE_BUILD)/root.
image-from: export SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null || stat -c %Y packaging/debian/changelog)
image-from:
	@file -L $(SERVER) | grep -q 'static' || { echo "$(SERVER) is not static"; exit 1; }
	rm -rf $(IMAGE_BUILD)/root
	mkdir -p $(IMAGE_BUILD)/root/usr/sbin $(IMAGE_BUILD)/root/usr/bin \
	  $(IMAGE_BUILD)/root/srv/wwwroot $(IMAGE_BUILD)/root/etc/stdhttpd
	cp $(SERVER) $(IMAGE_BUILD)/root/usr/sbin/stdhttpd
	cp $$(command -v tcpserver) $(IMAGE_BUILD)/root/usr/bin/tcpserver
	ldd $$(command -v tcpserver) | grep -o '/[^ ]*' | xargs -I{} cp -L --parents {} $(IMAGE_BUILD)/root
	ln -s /etc/stdhttpd/password.txt $(IMAGE_BUILD)/root/srv/password.txt
	chmod -R u=rwX,go=rX $(IMAGE_BUILD)/root
	podman build -q --timestamp $$SOURCE_DATE_EPOCH -f deploy/container/Containerfile \
	  -t $(IMAGE) $(IMAGE_BUILD)/root

clean:
	rm -rf build build-arm64 build-asan build-tsan build-fuzz build-coverage build-package build-image fuzz-out
