# The two commands: make run, make test. Both install what is missing first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: all deps configure build run test test-ha lint format-check asan fuzz soak screenshots install package clean windows test-windows

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Starts the program. It multicasts and listens as soon as it starts: on a shared
# machine run it as 'tests/netns-run make run'.
run: build
	$(BUILD)/korvat-server

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Two servers behind one floating address with keepalived, in private namespaces: failover
# figures over HA_RUNS runs (about 25 s each).
HA_RUNS ?= 5
test-ha: build
	tests/ha/run-ha $(BUILD) $(HA_RUNS)

# The shell scripts, by shellcheck.
SHELL_SCRIPTS := $(wildcard scripts/*) tests/netns-run tests/install/check-install tests/metrics/check-metrics tests/ha/run-ha \
	bench/idle-cpu bench/network bench/on-second bench/ntp-serve bench/soak bench/metrics-scrape
lint: deps
	shellcheck $(SHELL_SCRIPTS)

# The C++ sources against .clang-format, changing nothing.
FORMAT_SOURCES = $(shell find src tools tests bench -name '*.cpp' -o -name '*.h')
format-check: deps
	clang-format --dry-run -Werror $(FORMAT_SOURCES)

asan: deps
	@cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DKS_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS)

# Every parser that takes outside bytes under libFuzzer, FUZZ_SECONDS each (clang 14).
FUZZ_SECONDS ?= 60
fuzz:
	@KS_WITH_FUZZ=1 scripts/install-deps
	@CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz $(CMAKE_GEN) -DKS_FUZZ=ON \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	scripts/run-fuzz build-fuzz $(FUZZ_SECONDS)

# Load and fault suite inside a private network namespace (about 25 minutes), figures per case.
soak: build
	bench/soak

# Off-screen, inside a private network namespace: the window it renders is the real one.
screenshots: build
	QT_QPA_PLATFORM=offscreen TZ=UTC tests/netns-run $(BUILD)/tests/ks-screenshots $(BUILD)/screenshots

# make install PREFIX=/usr/local (as root, it also grants the clock right with setcap).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package under build-package/; its post-install step grants the clock right.
package: deps
	@cmake -S . -B build-package $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	@cmake --build build-package -j $(JOBS)
	cd build-package && cpack -G DEB

# The Windows build: korvat-server.exe, korvat-probe.exe, build-win/dist/, a folder that
# runs on a Windows PC as it is, and its installer build-win/korvat-server-<version>-x64.msi. Qt for mingw-w64 comes from QT_WIN_ARCHIVE, unpacked once.
WIN_BUILD      ?= build-win
QT_WIN_ARCHIVE ?= ../shared/windows/qt6.4.2-mingw-w64.tar.xz
windows:
	@KS_WITH_WINDOWS=1 scripts/install-deps
	@[ -x $(WIN_BUILD)/qt6-mingw/bin/qt-cmake ] || { mkdir -p $(WIN_BUILD) && tar xJf $(QT_WIN_ARCHIVE) -C $(WIN_BUILD); }
	@$(WIN_BUILD)/qt6-mingw/bin/qt-cmake -S . -B $(WIN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(WIN_BUILD) -j $(JOBS)

# The Windows build's tests under Wine, in a private network namespace, with one Wine prefix
# for the run; the end-to-end check asks it with the Linux korvat-probe.
test-windows: windows build
	tests/netns-run tests/windows/run-under-wine $(WIN_BUILD) $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-package build-fuzz $(WIN_BUILD)
