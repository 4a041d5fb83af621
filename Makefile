# The two commands of the README:
#   make demo   the service on loopback with its SQLite file, and the client
#               scanning this machine under Wine, ending in a report address
#   make test   every test, native and under Wine
# Both run the bootstrap first, so a fresh Debian machine needs nothing else.

# ZORVANE_NATIVE_PRESET=ci (what .ci/run sets) builds and tests the native
# tree with the ci preset: the native one, failing on any warning.
NATIVE_PRESET := $(or $(ZORVANE_NATIVE_PRESET),native)

.PHONY: all bootstrap build native win32 win64 release test test-native test-win32 demo bench clean

all: build

bootstrap:
	@scripts/bootstrap.sh

native: bootstrap
	cmake --preset $(NATIVE_PRESET) >/dev/null
	cmake --build --preset $(NATIVE_PRESET)

release: bootstrap
	cmake --preset release >/dev/null
	cmake --build --preset release

# zorvane.exe carries zorvane64.exe, so the 64-bit tree comes first.
win64: bootstrap
	cmake --preset win64 >/dev/null
	cmake --build --preset win64

win32: win64
	cmake --preset win32 >/dev/null
	cmake --build --preset win32

build: native win32

test: build
	scripts/run-tests.sh

test-native: native
	ctest --preset $(NATIVE_PRESET)

test-win32: win32
	scripts/run-tests.sh win64 win32

demo: release win32
	scripts/demo.sh

bench: release win32
	scripts/run-benchmarks.sh

clean:
	rm -rf build
