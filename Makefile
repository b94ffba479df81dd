# Set-up commands: `make demo` and `make test`.
BUILD ?= build
JOBS ?= 2

.PHONY: all build demo test clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	cd example && ../$(BUILD)/stdhttpd < requests.txt

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
