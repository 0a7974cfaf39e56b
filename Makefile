# Build and test commands.
#
#   make demo       install what is missing, build vcp, run `vcp demo`
#   make test       THE test command: install what is missing, build the
#                   target build (norva.sys, tembris.sys) and the host build,
#                   run every test
#   make build      both builds
#   make target     the target build only (build/target)
#   make host       the host build only (build/host)
#   make asan-test  host build and tests under ASan+UBSan (build/asan)
#   make tsan-test  host build and tests under TSan (build/tsan)
#   make deps       install the Debian packages the builds need
#   make clean      remove build/
#
# The machine is shared: every build runs with $(JOBS) jobs.

JOBS ?= 2

# Debian 12 packages the builds need.  mingw-w64-i686-dev carries the DDK
# headers and the ntoskrnl/hal/usbd import libraries.
PACKAGES := cmake make g++ googletest g++-mingw-w64-i686 binutils-mingw-w64-i686 \
            mingw-w64-i686-dev python3 libcli11-dev libfmt-dev python3-serial socat

APT_INSTALL := apt-get install -y --no-install-recommends

.NOTPARALLEL:

.PHONY: all demo test build target host asan-test tsan-test deps clean

all: build

# The host build's vcp program, then its demo: one converter from plug to
# unload, every step checked.
demo: deps
	cmake --preset host
	cmake --build --preset host -j $(JOBS) --target vcp
	build/host/tools/vcp/vcp demo

test: target host
	ctest --preset host -j $(JOBS)

build: target host

# The target build is its own CMake project (cross/) with the mingw-w64
# toolchain; the host build is the root project's "host" preset.
TARGET_DIR := build/target

target: deps
	cmake -S cross -B $(TARGET_DIR) --toolchain $(CURDIR)/cross/toolchain-i686-w64-mingw32.cmake \
	      -DCMAKE_BUILD_TYPE=Release
	cmake --build $(TARGET_DIR) -j $(JOBS)

host: deps
	cmake --preset host
	cmake --build --preset host -j $(JOBS)

# The target tests read build/target, so the sanitizer runs build it too.
asan-test: target deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

tsan-test: target deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# Installs what dpkg does not list as installed: as root after one
# apt-get update; otherwise prints the command and stops.
deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' "$$p" 2>/dev/null | grep -qx 'install ok installed' \
	    || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" -eq 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update && DEBIAN_FRONTEND=noninteractive $(APT_INSTALL)$$missing </dev/null; \
	  else \
	    echo "missing Debian packages:$$missing"; \
	    echo "install them as root, then run make again:"; \
	    echo "  apt-get update && $(APT_INSTALL)$$missing"; \
	    exit 1; \
	  fi; \
	fi

clean:
	rm -rf build
