# Set-up commands: `make demo` and `make test`; `make check` after each change.
JOBS ?= 2
# Tests run more at once than builds: many of them wait (on a client, a
# time limit, the emulator) rather than compute.
CTEST_JOBS ?= 4
MAKEFLAGS += --no-print-directory
FUZZ_SECONDS ?= 60
SMOKE_SECONDS ?= 5
FUZZERS := parse_request credentials matchers

.PHONY: all build build-arm64 build-plain demo deps fuzz-run check test test-plain test-sanitizers fuzz fuzz-smoke bench package image image-from image-root coverage clean

all: build

# WERROR=ON (as CI sets it) turns every compiler warning into an error.
WERROR ?= OFF
CMAKE_COMMON := -DCMAKE_COMPILE_WARNING_AS_ERROR=$(WERROR)

# build/ is the plain optimised build; build-<sanitizer>/ and build-fuzz/ sit beside it.
build-%/.configured:
	cmake -S . -B build-$* $(CMAKE_COMMON) $(CMAKE_FLAGS_$*) >/dev/null
	touch $@

# Test builds ask for the tests, so a missing GoogleTest stops them loudly.
# The sanitizers need line tables, not full debug information, and -O1:
# their builds take a tenth less time, and half with the server's sources
# compiled in batches.
SANITIZER_BUILD := -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DSTDHTTPD_TESTS=ON \
  -DSTDHTTPD_UNITY=ON
CMAKE_FLAGS_asan := -DSANITIZE=address,undefined $(SANITIZER_BUILD)
CMAKE_FLAGS_tsan := -DSANITIZE=thread $(SANITIZER_BUILD)
CMAKE_FLAGS_fuzz := -DCMAKE_CXX_COMPILER=clang++ -DSTDHTTPD_FUZZ=ON -DSTDHTTPD_UNITY=ON
CMAKE_FLAGS_coverage := -DCMAKE_BUILD_TYPE=Debug -DSTDHTTPD_TESTS=ON -DSTDHTTPD_COVERAGE=ON

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build -j $(JOBS)

demo: build
	tools/demo build/stdhttpd

# The sanitizers check the server's own memory and threads: AddressSanitizer
# with UndefinedBehaviorSanitizer runs the unit and black-box cases, and
# ThreadSanitizer those where threads meet (the ledger's cases and the
# pipelined rows). What tests the deployment and the clients runs once, in
# the plain build.
TSAN_CASES := ^Admission|^Hostile/Inputs.Answered/(1000_|100_pipelined|a_mix|8_threads|random_cred)
test-sanitizers: build-asan/.configured build-tsan/.configured
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 tools/run-ctest build-asan -j $(CTEST_JOBS)
	cmake --build build-tsan -j $(JOBS) --target blackbox_tests
	TSAN_OPTIONS=halt_on_error=1 tools/run-ctest build-tsan -j $(CTEST_JOBS) -R '$(TSAN_CASES)'

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
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTDHTTPD_TESTS=OFF -DSTDHTTPD_QUICK=ON -DSTDHTTPD_UNITY=ON >/dev/null
	cmake --build build-arm64 -j $(JOBS)

# Where the cross compiler and the emulator are installed, the black-box
# cases run a second time, on the ARM servers.
ARM64 := $(if $(and $(shell command -v aarch64-linux-gnu-g++),$(shell command -v qemu-aarch64-static)),$(CURDIR)/build-arm64)

# The plain build with its tests; the ARM cases are listed there too, and
# run only where build-arm64 is made.
build-plain:
	cmake -S . -B build $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTDHTTPD_TESTS=ON \
	  -DSTDHTTPD_ARM64=$(ARM64) >/dev/null
	cmake --build build -j $(JOBS)

# The quick tier, after every change: the plain build's unit and black-box
# cases and the quick clients (curl, Python). It leaves out the sanitizers,
# fuzzing, the ARM run, the package, the image, the other deployments, the
# cgroup and browser scenarios, and the cases that wait out a time limit.
CHECK_LEAVES_OUT := ^arm64|^e2e[.](wrk|activate|tcpserver|linger|xinetd|socat-sh|tls|systemd|browser|image|cgroup)|^package$$|^Streams/Stalled|cgroup|late_reader|EMFILE_every|/[01]_descriptors_free
check: build-plain
	tools/run-ctest build -j $(CTEST_JOBS) -E '$(CHECK_LEAVES_OUT)'

# Everything in the plain build: the quick tier's cases first, then the rest.
test-plain: build-plain
	$(if $(ARM64),$(MAKE) build-arm64)
	tools/run-ctest build -j $(CTEST_JOBS) -E '$(CHECK_LEAVES_OUT)'
	tools/run-ctest build -j $(CTEST_JOBS) -R '$(CHECK_LEAVES_OUT)'

deps:
	tools/test-deps

# What CI runs: every check once, in the build where it can fail; the plain
# suite first, so that a failure shows early.
test: deps
	$(MAKE) test-plain
	$(MAKE) test-sanitizers
	$(MAKE) fuzz-smoke

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

# Reproducible: every time stamp in the package and the image is the last
# commit's, unless the caller names another.
EPOCH = $(shell git log -1 --format=%ct 2>/dev/null || stat -c %Y packaging/debian/changelog)

# The Debian package, in $(PACKAGE_BUILD): stdhttpd_<version>_<arch>.deb.
PACKAGE_BUILD ?= build-package
package: export SOURCE_DATE_EPOCH ?= $(EPOCH)
package:
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DSTDHTTPD_PACKAGE=ON \
	  -DSTDHTTPD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr -DSTDHTTPD_UNITY=ON >/dev/null
	cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target stdhttpd package_files
	cd $(PACKAGE_BUILD) && cpack -G DEB >/dev/null && ls "$$PWD"/*.deb

# The container image $(IMAGE), with podman: a manifest list of one image for
# linux/amd64 and one for linux/arm64, each FROM scratch with its static
# server and tcpserver (deploy/container/Containerfile). Reproducible, as the
# package.
IMAGE ?= localhost/stdhttpd:latest
IMAGE_BUILD ?= build-image
image: export SOURCE_DATE_EPOCH ?= $(EPOCH)
image:
	cmake -S . -B $(IMAGE_BUILD)/amd64-build -DCMAKE_BUILD_TYPE=Release -DSTDHTTPD_TESTS=OFF >/dev/null
	cmake --build $(IMAGE_BUILD)/amd64-build -j $(JOBS) --target stdhttpd
	cmake -S . -B $(IMAGE_BUILD)/arm64-build -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DSTDHTTPD_TESTS=OFF >/dev/null
	cmake --build $(IMAGE_BUILD)/arm64-build -j $(JOBS) --target stdhttpd
	$(MAKE) image-from SERVER=$(IMAGE_BUILD)/amd64-build/stdhttpd \
	  SERVER_ARM64=$(IMAGE_BUILD)/arm64-build/stdhttpd

# The image around the static server $(SERVER) for amd64 and, when named,
# $(SERVER_ARM64) for arm64; each is also tagged $(IMAGE)-<arch>.
image-from: export SOURCE_DATE_EPOCH ?= $(EPOCH)
image-from:
	$(MAKE) image-root ARCH=amd64 SERVER=$(SERVER)
	$(if $(SERVER_ARM64),$(MAKE) image-root ARCH=arm64 SERVER=$(SERVER_ARM64))
	-podman manifest rm $(IMAGE) >/dev/null 2>&1
	-podman rmi -f $(IMAGE) >/dev/null 2>&1
	podman manifest create $(IMAGE) >/dev/null
	for arch in amd64 $(if $(SERVER_ARM64),arm64); do \
	  podman build -q --platform linux/$$arch --timestamp $$SOURCE_DATE_EPOCH \
	    -f deploy/container/Containerfile -t $(IMAGE)-$$arch --manifest $(IMAGE) \
	    $(IMAGE_BUILD)/$$arch/root || exit 1; \
	done

# One architecture's context, $(IMAGE_BUILD)/$(ARCH)/root: the server, and
# tcpserver with its loader and C library, from Debian's packages for $(ARCH).
image-root:
	@file -L $(SERVER) | grep -q 'static' || { echo "$(SERVER) is not static"; exit 1; }
	rm -rf $(IMAGE_BUILD)/$(ARCH)
	mkdir -p $(IMAGE_BUILD)/$(ARCH)/debs $(IMAGE_BUILD)/$(ARCH)/root/usr/sbin \
	  $(IMAGE_BUILD)/$(ARCH)/root/usr/bin $(IMAGE_BUILD)/$(ARCH)/root/srv/wwwroot \
	  $(IMAGE_BUILD)/$(ARCH)/root/etc/stdhttpd
	cd $(IMAGE_BUILD)/$(ARCH)/debs && apt-get download -q -o APT::Sandbox::User=$$(id -un) \
	  ucspi-tcp:$(ARCH) libc6:$(ARCH) >/dev/null
	for deb in $(IMAGE_BUILD)/$(ARCH)/debs/*.deb; do dpkg-deb -x $$deb $(IMAGE_BUILD)/$(ARCH)/debs; done
	cp $(SERVER) $(IMAGE_BUILD)/$(ARCH)/root/usr/sbin/stdhttpd
	# The loader, and the libraries that tcpserver names other than the loader.
	cd $(IMAGE_BUILD)/$(ARCH)/debs && cp usr/bin/tcpserver ../root/usr/bin/ && \
	  loader=$$(readelf -l usr/bin/tcpserver | sed -n 's|.*interpreter: /\(.*\)]|\1|p') && \
	  cp -L --parents $$loader $$(readelf -d usr/bin/tcpserver | \
	    sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | grep -vx "$${loader##*/}" | \
	    xargs -I{} find lib -name {}) ../root
	ln -s /etc/stdhttpd/password.txt $(IMAGE_BUILD)/$(ARCH)/root/srv/password.txt
	chmod -R u=rwX,go=rX $(IMAGE_BUILD)/$(ARCH)/root

clean:
	rm -rf build build-arm64 build-asan build-tsan build-fuzz build-coverage build-package build-image fuzz-out
