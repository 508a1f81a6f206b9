# Front door: `make demo` flashes a simulated Quarv with the real tool; `make test` runs every test.
SHELL := /bin/bash
# Which Wine runs the Windows builds here (winerig/wine_arch.py): win32 where the 32-bit loader
# starts, else win64; each architecture has its own prefix.
WINE_ARCH = $(shell python3 winerig/wine_arch.py build --arch)
WINE_PREFIX = $(CURDIR)/build/wine-$(1)
SOURCES = $(shell git ls-files -co --exclude-standard '*.cpp' '*.h' 2>/dev/null)

.PHONY: test deps wine host win32 win64 web web-demo bench-web format cppcheck demo bench bench-cli \
  bench-loader release release-check

# Every build, then every suite: cmake/run-tests.sh runs those that mostly wait side by side.
# `make host`, `win32`, `win64` and `web` each build and test one preset alone.
test: deps format cppcheck
	bash cmake/run-tests.sh

deps:
	bash cmake/install-deps.sh

# The 64-bit prefix always; the 32-bit one where the 32-bit loader starts. Says which.
# Made side by side: each waits on its own wineserver much of the time.
wine: deps
	@python3 winerig/wine_arch.py build
	if python3 winerig/wine_arch.py build --can-run win32 >/dev/null; then \
	  bash cmake/setup-wine.sh win32 $(call WINE_PREFIX,win32) & win32=$$!; fi; \
	bash cmake/setup-wine.sh win64 $(call WINE_PREFIX,win64) && { [ -z "$$win32" ] || wait $$win32; }

host: deps
	cmake --preset host
	cmake --build --preset host
	ctest --preset host

# The shipped 32-bit build: its tests that run programs are skipped, with the reason, where the
# machine cannot run 32-bit programs; those that read the exe run everywhere.
win32: wine
	cmake --preset win32
	cmake --build --preset win32
	@python3 winerig/wine_arch.py build --can-run win32 || true
	ctest --preset win32

# The 64-bit twin of every Windows program, run under 64-bit Wine on every machine.
win64: wine
	cmake --preset win64
	cmake --build --preset win64
	ctest --preset win64

# The web page's module (engine and loader in WebAssembly); its tests in Node and Chromium use
# the host build's quarv-sim.
web: deps
	cmake --preset host
	cmake --build --preset host --target quarv-sim quarv-stamp
	cmake --preset wasm
	cmake --build --preset wasm
	ctest --preset wasm

format: deps
	clang-format --dry-run --Werror $(SOURCES)

cppcheck: deps
	cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability \
	  --inline-suppr --std=c++17 --library=googletest -I . $(filter %.cpp,$(SOURCES))

# Build dirs of demo and bench; the defaults are those of the presets. WIN_DIR is the Windows
# build that runs here: the shipped 32-bit one where it can, else its 64-bit twin.
HOST_DIR ?= build/host
WIN_DIR ?= build/$(WINE_ARCH)
WIN32_DIR ?= build/win32
BENCH_DIR ?= build/bench
E2E_TOOLS = --template $(call WINE_PREFIX,$(WINE_ARCH)) --sim $(HOST_DIR)/sim/quarv-sim \
  --driver $(WIN_DIR)/winerig/ui_driver.exe --exe $(WIN_DIR)/ui/quarv-update.exe

# The tool flashes a simulated Quarv: on $$DISPLAY when there is one, else headless.
demo: wine
	cmake --preset host -B $(HOST_DIR)
	cmake --build $(HOST_DIR) -j2 --target quarv-sim
	cmake --preset $(WINE_ARCH) -B $(WIN_DIR)
	cmake --build $(WIN_DIR) -j2 --target quarv-update ui_driver
	python3 winerig/demo.py $(E2E_TOOLS) --work build/demo --screenshot build/quarv-update.png \
	  --image "$$(cmake -N -L $(WIN_DIR) | sed -n 's/^QUARV_FIRMWARE:FILEPATH=//p')"

# Update times against the line's model time, and start-up against a bare dialog.
bench: wine $(BENCH_DIR)/image-64k.bin
	cmake --preset host -B $(HOST_DIR)
	cmake --build $(HOST_DIR) -j2 --target quarv-sim
	cmake --preset $(WINE_ARCH) -B $(WIN_DIR)
	cmake --build $(WIN_DIR) -j2 --target quarv-update ui_driver bare_dialog
	cmake --preset $(WINE_ARCH) -B $(BENCH_DIR)/$(WINE_ARCH) \
	  -DQUARV_FIRMWARE=$(CURDIR)/$(BENCH_DIR)/image-64k.bin
	cmake --build $(BENCH_DIR)/$(WINE_ARCH) -j2 --target quarv-update
	python3 winerig/bench.py $(E2E_TOOLS) --exe64k $(BENCH_DIR)/$(WINE_ARCH)/ui/quarv-update.exe \
	  --bare $(WIN_DIR)/winerig/bare_dialog.exe --work $(BENCH_DIR)
	$(MAKE) --no-print-directory bench-cli
	$(MAKE) --no-print-directory bench-loader
	$(MAKE) --no-print-directory bench-web

# The web page: one update against the simulated device in headless Chromium (or served on
# $$DISPLAY until Ctrl-C); a screenshot in build/quarv-web.png.
web-demo: deps
	cmake --preset wasm
	cmake --build --preset wasm
	node webrig/demo.mjs --page build/wasm/page --image firmware/standin.bin \
	  --screenshot build/quarv-web.png

# The page's 64 KiB update against the line's model beside quarv-flash; its sizes and start.
bench-web: deps $(BENCH_DIR)/image-64k.bin
	cmake --preset host -B $(BENCH_DIR)/host -DQUARV_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_DIR)/host -j2 --target quarv-flash quarv-sim
	cmake --preset wasm
	cmake --build --preset wasm
	node webrig/bench_web.mjs --page build/wasm/page --sim $(BENCH_DIR)/host/sim/quarv-sim \
	  --flash $(BENCH_DIR)/host/cli/quarv-flash --image $(BENCH_DIR)/image-64k.bin --work $(BENCH_DIR)

$(BENCH_DIR)/image-64k.bin:
	mkdir -p $(@D)
	python3 -c 'import random, sys; r = random.Random(64); \
	  sys.stdout.buffer.write(bytes(r.getrandbits(8) for _ in range(65536)))' > $@

# quarv-flash natively against quarv-sim, without sanitizers: its 64 KiB block phase against the
# line's model, 8 ports at once against one, CPU while waiting on silent devices.
bench-cli: deps $(BENCH_DIR)/image-64k.bin
	cmake --preset host -B $(BENCH_DIR)/host -DQUARV_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_DIR)/host -j2 --target quarv-flash quarv-sim
	python3 cli/bench_cli.py --flash $(BENCH_DIR)/host/cli/quarv-flash \
	  --sim $(BENCH_DIR)/host/sim/quarv-sim --image $(BENCH_DIR)/image-64k.bin --work $(BENCH_DIR)

# Loading a 1 MiB image as Intel HEX against raw, through both tools built without sanitizers;
# the size of each Windows exe.
bench-loader: deps
	cmake --preset host -B $(BENCH_DIR)/host -DQUARV_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_DIR)/host -j2 --target quarv-flash quarv-stamp
	cmake --preset win32 -B $(WIN32_DIR)
	cmake --build $(WIN32_DIR) -j2 --target quarv-update quarv-flash quarv-stamp
	python3 loader/bench_loader.py --flash $(BENCH_DIR)/host/cli/quarv-flash \
	  --stamp $(BENCH_DIR)/host/stamp/quarv-stamp --template $(WIN32_DIR)/ui/quarv-update.exe \
	  --work $(BENCH_DIR) --exe $(WIN32_DIR)/ui/quarv-update.exe $(WIN32_DIR)/cli/quarv-flash.exe \
	  $(WIN32_DIR)/stamp/quarv-stamp.exe

# The Debian package, the Windows kit and SHA256SUMS in dist/, from the release presets.
release: deps
	bash release/build.sh

# What dist/ holds (files, --version, manual pages, lintian, zip, checksums), then two release
# builds of HEAD in clean clones compared byte for byte.
release-check: deps
	bash release/check.sh
	bash release/repro.sh
