# Thin front for the CMake builds. `make test` and `make demo` install what
# they need on a fresh Debian 12 machine first.
BUILD := $(CURDIR)/build
WINE_ENV := WINEPREFIX=$(BUILD)/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
NATIVE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
JOBS := $(shell nproc)

.PHONY: all deps native asan tsan fuzz-build fuzz soak bench win32 win64 test demo dist install clean
FUZZ_SECONDS ?= 180
SECONDS ?= 600
PREFIX ?= /usr/local
# Times inside the release come from the last commit, so that it builds the same each time.
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null || echo 1)
export SOURCE_DATE_EPOCH

all: native win32 win64

deps:
	@tools/install-deps

native: deps
	cmake -S . -B $(BUILD)/native $(NATIVE_FLAGS) >/dev/null
	cmake --build $(BUILD)/native -j $(JOBS)

asan: deps
	cmake -S . -B $(BUILD)/asan $(NATIVE_FLAGS) -DAXQ_SANITIZE=address,undefined >/dev/null
	cmake --build $(BUILD)/asan -j $(JOBS)

tsan: deps
	cmake -S . -B $(BUILD)/tsan $(NATIVE_FLAGS) -DAXQ_SANITIZE=thread >/dev/null
	cmake --build $(BUILD)/tsan -j $(JOBS) --target unit_tests

fuzz-build: deps
	cmake -S . -B $(BUILD)/fuzz $(NATIVE_FLAGS) -DCMAKE_CXX_COMPILER=clang++ \
	  -DAXQ_SANITIZE=address,undefined -DAXQ_FUZZ=ON >/dev/null
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target archive_fuzz linebuf_fuzz names_fuzz seeds

fuzz: fuzz-build
	tools/fuzz $(BUILD)/fuzz $(FUZZ_SECONDS)

# The writable mount's random-operation test, then the writers against the
# independent reader, each on random seeds for SECONDS; they print the seeds
# that failed and the command that replays them. Last, 5,000 random archives
# through every front end.
soak: native
	/usr/bin/python3 tests/mount_model_test.py $(BUILD)/native/quorvel --soak $(SECONDS)
	/usr/bin/python3 tests/writers_diff_test.py $(BUILD)/native/quorvel --soak $(SECONDS)
	PYTHONPATH=$(BUILD)/native/python QUORVEL=$(BUILD)/native/quorvel LANGUAGE=en FRONTENDS_SEEDS=5000 \
	  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/frontends_test.py -k random

# The last row: the 64-bit module's wide listing against its ANSI one, under Wine.
bench: deps win64
	cmake -S . -B $(BUILD)/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DAXQ_BENCH=ON >/dev/null
	cmake --build $(BUILD)/bench -j $(JOBS) --target bench quorvel quorvel_python
	tools/bench $(BUILD)/bench
	$(WINE_ENV) tools/wine-run sh -c "cd $(BUILD)/win64 && wine wide_bench.exe"

win32: native
	cmake -S . -B $(BUILD)/win32 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DAXQ_NATIVE_QUORVEL=$(BUILD)/native/quorvel >/dev/null
	cmake --build $(BUILD)/win32 -j $(JOBS)

win64: native
	cmake -S . -B $(BUILD)/win64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DAXQ_NATIVE_QUORVEL=$(BUILD)/native/quorvel >/dev/null
	cmake --build $(BUILD)/win64 -j $(JOBS)

# A Windows test that fails is run once more (tools/ctest-retry): under qemu's
# emulation the Wine server has been seen to die in a run that passed before
# and after; each test retried is named at the end with its first failure.
# The 64-bit tests run Wine's 64-bit loader itself (tools/wine64).
test: native asan tsan fuzz-build win32 win64 dist
	ctest --test-dir $(BUILD)/native --output-on-failure -j $(JOBS)
	ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)
	ctest --test-dir $(BUILD)/tsan --output-on-failure -R Threads
	tools/fuzz $(BUILD)/fuzz smoke
	tests/release_test.sh $(BUILD) dist
	$(WINE_ENV) tools/wine-run sh -c 'PATH=$(CURDIR)/tools/wine64:$$PATH tools/ctest-retry $(BUILD)/win64 && \
	  tools/ctest-retry $(BUILD)/win32'

# The release in dist/: the Windows zip, the Debian package and their checksums.
dist: native win32 win64
	cmake -S . -B $(BUILD)/native -DAXQ_WIN32_DIR=$(BUILD)/win32 -DAXQ_WIN64_DIR=$(BUILD)/win64 >/dev/null
	cmake --build $(BUILD)/native -j $(JOBS)
	rm -rf $(BUILD)/package dist && mkdir -p dist
	cd $(BUILD)/native && cpack -G "ZIP;DEB" -B $(BUILD)/package >/dev/null 2>&1
	cp $(BUILD)/package/*.zip $(BUILD)/package/*.deb dist/
	cd dist && sha256sum *.zip *.deb >SHA256SUMS

install: native
	cmake --install $(BUILD)/native --component linux --prefix $(PREFIX)
	cmake --install $(BUILD)/native --component python --prefix $(PREFIX)

demo: win32
	$(WINE_ENV) tools/wine-run tools/demo $(BUILD)

clean:
	rm -rf $(BUILD)
