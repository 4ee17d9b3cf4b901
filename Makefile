# Entry points for a newcomer: `make run` starts the program, `make test`
# builds it and runs every test.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run test test-asan test-tsan clean

all: build

deps:
	@scripts/install-deps.sh

build/CMakeCache.txt: | deps
	cmake -S . -B build $(CMAKE_FLAGS)

build: deps build/CMakeCache.txt
	cmake --build build -j $(JOBS)

# Only the program and the receiver: no need to build the tests to watch it.
run: deps build/CMakeCache.txt
	cmake --build build -j $(JOBS) --target NDITabrivo ndi-recv
	@scripts/run.sh

test: build
	cd build && ctest --output-on-failure -j $(JOBS)

build-asan/CMakeCache.txt: | deps
	cmake -S . -B build-asan -DSANITIZE=address $(CMAKE_FLAGS)

test-asan: deps build-asan/CMakeCache.txt
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) -LE e2e

build-tsan/CMakeCache.txt: | deps
	cmake -S . -B build-tsan -DSANITIZE=thread $(CMAKE_FLAGS)

test-tsan: deps build-tsan/CMakeCache.txt
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(JOBS) -L threaded

clean:
	rm -rf build build-asan build-tsan
