# The front door: `make run` starts the companion, `make test` builds and runs every test.
SHELL := /bin/bash
PYTHON := /usr/bin/python3
JOBS ?= $(shell nproc)
BIN := build/dev/bin/tavlo-companion
# ccache hits across clones in other folders (CI builds a fresh clone).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: all bootstrap build test unit e2e asan tsan run fuzz bench release clean install deb

all: build

bootstrap:
	@tools/bootstrap

build: bootstrap
	@cmake --preset dev >/dev/null
	@cmake --build --preset dev -j $(JOBS)

unit: build
	ctest --test-dir build/dev --output-on-failure -j $(JOBS)

e2e: build
	tools/e2e-sandbox $(PYTHON) -m pytest -q -p no:cacheprovider tests/e2e

asan: bootstrap
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	# alloc_dealloc_mismatch: Asio's thread_pool trips it at exit (not our code).
	ASAN_OPTIONS=detect_leaks=1:alloc_dealloc_mismatch=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build/asan --output-on-failure -j $(JOBS)

# The unit tests only (no program, no UI): a data race fails the build.
tsan: bootstrap
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build/tsan --output-on-failure -j $(JOBS)

test: build
	$(MAKE) --no-print-directory unit
	$(MAKE) --no-print-directory e2e
	$(MAKE) --no-print-directory asan
	$(MAKE) --no-print-directory tsan

run: build
	@tools/run

fuzz: bootstrap
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)

bench: bootstrap
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench -j $(JOBS)

release: bootstrap
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS)

# `make install [PREFIX=/usr/local] [DESTDIR=...]`; `make deb` builds build/deb/tavlo-companion_*.deb.
PREFIX ?= /usr/local
# Hardened as Debian builds its own packages (fortified libc calls, stack
# protector, read-only relocations bound at start).
PACKAGE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVLO_BUILD_TESTS=OFF -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  "-DCMAKE_CXX_FLAGS=-D_FORTIFY_SOURCE=2 -fstack-protector-strong" "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,relro,-z,now" "-DCMAKE_MODULE_LINKER_FLAGS=-Wl,-z,relro,-z,now"
install: bootstrap
	@cmake -S . -B build/install $(PACKAGE_FLAGS) -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build build/install -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install build/install

deb: bootstrap
	@cmake -S . -B build/deb $(PACKAGE_FLAGS) -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	@cmake --build build/deb -j $(JOBS)
	cd build/deb && cpack -G DEB

clean:
	rm -rf build
