# Entry points for people and CI. Every target installs what it needs first.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
TSAN_DIR ?= build-tsan
FUZZ_DIR ?= build-fuzz
LINT_DIR ?= build-lint
FUZZ_SECONDS ?= 50
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

ZLIB_CODERS_DIR ?= build-zlib-coders
.PHONY: all deps build test test-coders-without-isal test-kill package test-package test-sanitize test-tsan fuzz lint run format clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARROWZIP_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The coder tests in a build without ISA-L, where zlib and libdeflate code everything (make test
# runs the whole suite with it): only the library and one test program, about a minute.
test-coders-without-isal: deps
	cmake -S . -B $(ZLIB_CODERS_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARROWZIP_ISAL=OFF \
		-DMARROWZIP_WERROR=ON -DMARROWZIP_BUILD_APP=OFF -DMARROWZIP_BUILD_TOOLS=OFF \
		-DMARROWZIP_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ZLIB_CODERS_DIR) -j $(JOBS) --target marrowzip_tests_processing
	$(ZLIB_CODERS_DIR)/tests/marrowzip_tests_processing

# The Debian packages marrowzip and marrowzip-dev (CPack), written into BUILD_DIR.
package: build
	cd $(BUILD_DIR) && cpack -G DEB

# What the packages hold, the tool run from them and a consumer built against them.
test-package: package
	scripts/check-packages $(BUILD_DIR)

# The kill-point harness with 200 SIGKILLs per operation (make test runs 24).
test-kill: build
	cd $(BUILD_DIR) && MARROWZIP_KILL_POINTS=200 tests/tools/marrowzip_tests_tools --gtest_filter='KillPoints.*'

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer; the slow tests
# (multi-gigabyte entries) run only in the plain build.
test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARROWZIP_SANITIZE=ON \
		-DMARROWZIP_WERROR=ON -DMARROWZIP_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && ctest --output-on-failure -j $(JOBS) -LE slow

# Cancellation from other threads and the replacement of an archive that others read, under
# ThreadSanitizer: the library's concurrency tests and the app's commands (without Qt).
test-tsan: deps
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARROWZIP_TSAN=ON \
		-DMARROWZIP_WERROR=ON -DMARROWZIP_BUILD_APP=ON -DMARROWZIP_APP_COMMANDS_ONLY=ON \
		-DMARROWZIP_BUILD_TOOLS=OFF -DMARROWZIP_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(TSAN_DIR) -j $(JOBS) --target marrowzip_tests_concurrency \
		dunmarrow_tests_commands dunmarrow_job_driver
	cd $(TSAN_DIR) && ctest --output-on-failure -j $(JOBS) -L tsan

# Every libFuzzer target for FUZZ_SECONDS from seeds made by the real clients (and our tool when
# the plain build has it), then the kept regression inputs of fuzz/regressions/.
fuzz: deps
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DMARROWZIP_FUZZ=ON -DMARROWZIP_BUILD_TESTS=OFF -DMARROWZIP_BUILD_APP=OFF \
		-DMARROWZIP_BUILD_TOOLS=OFF -DMARROWZIP_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	fuzz/run $(FUZZ_DIR) $(FUZZ_SECONDS) $(wildcard $(BUILD_DIR)/tools/marrowzip)

# clang-tidy (.clang-tidy) and cppcheck over the project's own sources; any finding fails.
lint: deps
	scripts/lint $(LINT_DIR) $(JOBS)

run: build
	$(BUILD_DIR)/app/dunmarrow

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(ZLIB_CODERS_DIR) $(SANITIZE_DIR) $(TSAN_DIR) $(FUZZ_DIR) $(LINT_DIR)
