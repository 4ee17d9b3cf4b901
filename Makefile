# Entry points for a newcomer: `make run` starts the program, `make test`
# builds it and runs every test.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 30
MAKEFLAGS += --no-print-directory

# Ninja when it is installed (make deps installs it): a no-op build then costs
# well under a second. A build folder keeps the generator it was made with.
configure = cmake -S . -B $(1) $$(command -v ninja >/dev/null && echo -G Ninja) \
  --log-level=WARNING $(2) $(CMAKE_FLAGS)

# New files count before they are added, so that a commit never brings one
# in unformatted.
FORMAT_FILES = $(shell git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' 2>/dev/null || \
  find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
FUZZ_TARGETS = $(basename $(notdir $(wildcard fuzz/*_fuzz.cpp)))

.PHONY: all deps build run test test-asan test-tsan format format-check fuzz fuzz-seeds clean

all: build

deps:
	@scripts/install-deps.sh

# cmake runs again by itself from the build when a CMakeLists.txt changes, so
# a folder is configured only once.
build/CMakeCache.txt: | deps
	@$(call configure,build)

build: deps build/CMakeCache.txt
	@cmake --build build -j $(JOBS)

# Only the program and the receiver: no need to build the tests to watch it.
run: deps build/CMakeCache.txt
	@cmake --build build -j $(JOBS) --target NDITabrivo ndi-recv
	@scripts/run.sh

test: build
	@cd build && ctest --output-on-failure -j $(JOBS)

build-asan/CMakeCache.txt: | deps
	@$(call configure,build-asan,-DSANITIZE=address)

test-asan: deps build-asan/CMakeCache.txt
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) -LE e2e

build-tsan/CMakeCache.txt: | deps
	@$(call configure,build-tsan,-DSANITIZE=thread)

test-tsan: deps build-tsan/CMakeCache.txt
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(JOBS) -L threaded

# Rewrites every C++ file of the tree in the style of .clang-format.
format:
	@scripts/install-deps.sh format
	@clang-format -i $(FORMAT_FILES)

# Fails, naming them, when files differ from what `make format` would write.
format-check:
	@scripts/install-deps.sh format
	@unformatted=$$(printf '%s\n' $(FORMAT_FILES) | \
	  xargs -P $(JOBS) -I{} sh -c 'clang-format --dry-run -Werror "{}" >/dev/null 2>&1 || echo "{}"'); \
	if [ -n "$$unformatted" ]; then \
	  echo "format-check: not formatted (make format rewrites them):"; echo "$$unformatted"; exit 1; \
	fi

# Every libFuzzer target in fuzz/, built with clang, each run FUZZ_SECONDS
# from its seeds in fuzz/seeds/; what it finds goes to build-fuzz/corpus/.
build-fuzz/CMakeCache.txt:
	@scripts/install-deps.sh fuzz
	@CC=clang CXX=clang++ $(call configure,build-fuzz,-DNDITABRIVO_FUZZ=ON)

fuzz: deps build-fuzz/CMakeCache.txt
	@scripts/install-deps.sh fuzz
	@cmake --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	@cd build-fuzz && for target in $(FUZZ_TARGETS); do \
	  echo "fuzz: $$target for $(FUZZ_SECONDS) s"; mkdir -p corpus/$$target; \
	  ./$$target -max_total_time=$(FUZZ_SECONDS) corpus/$$target ../fuzz/seeds/$$target \
	    >$$target.log 2>&1 || \
	    { tail -n 40 $$target.log; echo "fuzz: $$target failed; build-fuzz/$$target.log"; exit 1; }; \
	done

# What CI does: every fuzz target built and run once over each of its seeds,
# so that a target that stops building, or a seed that crashes it, fails.
# With clang and libFuzzer when clang is installed, else with the default
# compiler and a replay driver; address and undefined-behaviour checks on.
build-fuzz-seeds/CMakeCache.txt: | deps
	@compilers=$$(command -v clang++ >/dev/null && echo CC=clang CXX=clang++); \
	  env $$compilers $(call configure,build-fuzz-seeds,-DNDITABRIVO_FUZZ=ON)

fuzz-seeds: deps build-fuzz-seeds/CMakeCache.txt
	@cmake --build build-fuzz-seeds -j $(JOBS) --target $(FUZZ_TARGETS)
	@for target in $(FUZZ_TARGETS); do \
	  log=build-fuzz-seeds/$$target.log; \
	  build-fuzz-seeds/$$target fuzz/seeds/$$target/* >$$log 2>&1 || \
	    { tail -n 40 $$log; echo "fuzz-seeds: $$target failed on its seeds; $$log"; exit 1; }; \
	  echo "fuzz-seeds: $$target ran its $$(ls fuzz/seeds/$$target | wc -l) seeds"; \
	done

clean:
	rm -rf build build-asan build-tsan build-fuzz build-fuzz-seeds
