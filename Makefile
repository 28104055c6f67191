# Entry points for people and CI. Every target installs what it needs first.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
TSAN_DIR ?= build-tsan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test test-sanitize test-tsan run format clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARROWZIP_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer; the slow tests
# (multi-gigabyte entries) run only in the plain build.
test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARROWZIP_SANITIZE=ON \
		-DMARROWZIP_WERROR=ON -DMARROWZIP_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && ctest --output-on-failure -j $(JOBS) -LE slow

# Cancellation from other threads and the replacement of an archive that others read, under
# ThreadSanitizer: the library and the concurrency tests only.
test-tsan: deps
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARROWZIP_TSAN=ON \
		-DMARROWZIP_WERROR=ON -DMARROWZIP_BUILD_APP=OFF -DMARROWZIP_BUILD_TOOLS=OFF \
		-DMARROWZIP_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(TSAN_DIR) -j $(JOBS) --target marrowzip_tests_concurrency
	cd $(TSAN_DIR) && ctest --output-on-failure -j $(JOBS) -L tsan

run: build
	$(BUILD_DIR)/app/dunmarrow

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(TSAN_DIR)
