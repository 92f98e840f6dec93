# Set-up and everyday commands. `make test` and `make demo` install what is missing first.
JOBS ?= 2
RELEASE_DIR := build/release
ASAN_DIR := build/asan
BENCH_DIR := build/bench
FUZZ_DIR := build/fuzz

.PHONY: all deps build build-asan test test-release test-asan demo serve bench install clean format format-check fuzz

all: build

deps:
	@./scripts/install-deps.sh

$(RELEASE_DIR)/CMakeCache.txt:
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release

$(ASAN_DIR)/CMakeCache.txt:
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDLARCHIVE_SANITIZE=ON

build: deps $(RELEASE_DIR)/CMakeCache.txt
	cmake --build $(RELEASE_DIR) -j $(JOBS)

build-asan: deps $(ASAN_DIR)/CMakeCache.txt
	cmake --build $(ASAN_DIR) -j $(JOBS)

test-release: build
	cd $(RELEASE_DIR) && ctest -j $(JOBS) --output-on-failure

test-asan: build-asan
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest -j $(JOBS) --output-on-failure

# The suite runs twice: optimised, then under AddressSanitizer and UndefinedBehaviorSanitizer.
test: format-check test-release test-asan

demo: build
	./scripts/demo.sh $(RELEASE_DIR)

# The demo archive through lighttpd on 127.0.0.1 (PORT=8080 unless given), in the foreground.
PORT ?= 8080
serve: build
	./scripts/serve.sh $(RELEASE_DIR) $(PORT)

bench: deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DDLARCHIVE_BENCH=ON -DDLARCHIVE_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS)
	./scripts/bench.sh $(BENCH_DIR)

# libFuzzer entry points (fuzz/), built with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer; not part of the default build or of `make test`.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDLARCHIVE_FUZZ=ON \
	  -DDLARCHIVE_TESTS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzzers

install: build
	cmake --install $(RELEASE_DIR)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

# A file out of format fails the tests; `make format` mends it.
format-check: deps
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build demo-home
