# Build and test commands.
#
#   make demo       install what is missing, build vcp, run `vcp demo`
#   make demo-target  `vcp demo` of every converter variant on the target
#                   build's norva.sys and tembris.sys (the 32-bit build)
#   make test       THE test command: install what is missing, build the
#                   target build (norva.sys, tembris.sys), the host build and
#                   the 32-bit host build, run every test of both host
#                   builds, then each fuzz target for a few seconds
#   make build      all three builds
#   make target     the target build only (build/target)
#   make host       the host build only (build/host)
#   make host32     the 32-bit host build (build/host32), which runs the
#                   target build's images: natively, or under qemu-i386
#                   where this machine cannot execute i386 code
#   make asan-test  host build and tests under ASan+UBSan (build/asan)
#   make tsan-test  host build and tests under TSan (build/tsan)
#   make tsan-races the race tests (label "races") under TSan (build/tsan)
#   make sanitize   asan-test and tsan-races (CI runs it after make test)
#   make fuzz       the fuzz targets (clang, libFuzzer, ASan+UBSan; build/fuzz)
#                   over their seed corpus and found faults, FUZZ_SECONDS
#                   (5) each; findings in build/fuzz/findings
#   make fuzz-long  the same for FUZZ_LONG_SECONDS (900) each
#   make install    target and host builds, then vcp, its driver modules, vcp(1), bash
#                   completion and the Windows 98 driver files under
#                   $(PREFIX) (/usr/local), below $(DESTDIR) when given
#   make uninstall  remove what the last install put there
#   make mutants    the mutation run over norva/ and tembris/ (not part of
#                   `make test`: half an hour or more); MUTANT_JOBS (2) at once
#   make deps       install the Debian packages the builds need
#   make clean      remove build/
#
# The machine is shared: every build runs with $(JOBS) jobs.

JOBS ?= 2

# Debian 12 packages the builds need.  mingw-w64-i686-dev carries the DDK
# headers and the ntoskrnl/hal/usbd import libraries; tshark dissects the
# bus captures in the tests; help2man makes vcp(1); g++-multilib and
# qemu-user are the 32-bit host build's (qemu-i386 runs its programs where
# the kernel has no IA-32 emulation).
PACKAGES := cmake make g++ googletest g++-mingw-w64-i686 binutils-mingw-w64-i686 \
            mingw-w64-i686-dev python3 libcli11-dev libfmt-dev python3-serial socat \
            clang libclang-rt-14-dev tshark help2man g++-multilib qemu-user

APT_INSTALL := apt-get install -y --no-install-recommends

.NOTPARALLEL:

.PHONY: all demo demo-target test build target host host32 install uninstall asan-test tsan-test \
        tsan-races sanitize fuzz fuzz-long mutants deps clean

all: build

# The host build's vcp program, then its demo: one converter from plug to
# unload, every step checked.
demo: deps
	cmake --preset host
	cmake --build --preset host -j $(JOBS) --target vcp
	build/host/tools/vcp/vcp demo

# The shipped code itself: vcp's 32-bit build loads the target build's
# norva.sys and tembris.sys and runs its demo once per converter variant.
HOST32_DIR := build/host32
HOST32_RUNNER = $$(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]*=//p' $(HOST32_DIR)/CMakeCache.txt)

demo-target: target
	cmake --preset host32
	cmake --build --preset host32 -j $(JOBS) --target vcp
	@for variant in 0 1 2 3; do \
	  echo "== vcp demo --variant $$variant on build/target/norva.sys and tembris.sys"; \
	  $(HOST32_RUNNER) $(HOST32_DIR)/tools/vcp/vcp demo --variant $$variant || exit 1; \
	done

test: target host host32
	ctest --preset host -j $(JOBS)
	ctest --preset host32 -j $(JOBS)
	$(MAKE) fuzz

build: target host host32

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

# Installs by GNUInstallDirs under PREFIX: bin/vcp; lib/vcp/ the kernel
# library and the driver modules (vcp finds them from its own place);
# share/man/man1/vcp.1; share/bash-completion/completions/vcp;
# share/vcp/win98/ norva.sys, tembris.sys and usbcvt.inf; share/vcp/scripts/.
PREFIX ?= /usr/local

install: target host
	DESTDIR="$(DESTDIR)" cmake --install build/host --prefix "$(PREFIX)"

uninstall:
	@if [ -f build/host/install_manifest.txt ]; then \
	  xargs -r -d '\n' rm -fv < build/host/install_manifest.txt; \
	else echo "nothing installed from this tree (no build/host/install_manifest.txt)"; fi

# It reads the target build's images when its tests run, and checks its
# structure layouts with the target compiler when it builds.
host32: target
	cmake --preset host32
	cmake --build --preset host32 -j $(JOBS)

# The target tests read build/target, so the sanitizer runs build it too.
asan-test: target deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

tsan-test: target deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# Only the race tests: the stress of norva's exports from many threads.
tsan-races: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target test_races
	ctest --preset tsan -L races

sanitize: asan-test tsan-races

# The fuzz targets: a clang build of the whole world with libFuzzer's
# coverage and ASan+UBSan.  Each runs over a working copy of its seed corpus
# and of the inputs that once found a fault (fuzz/corpus/NAME,
# fuzz/regressions/NAME); a finding fails the run and is kept in
# build/fuzz/findings.  The driver modules share the program's sanitizer
# runtime, which then need not come first in the library list.
FUZZ_DIR := build/fuzz
FUZZ_TARGETS := fuzz_converter
FUZZ_SECONDS ?= 5
FUZZ_LONG_SECONDS ?= 900

fuzz: deps
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVCP_FUZZ=ON \
	      -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(FUZZ_TARGETS)
	@for t in $(FUZZ_TARGETS); do \
	  name=$${t#fuzz_}; work=$(FUZZ_DIR)/corpus-run/$$name; \
	  mkdir -p $$work $(FUZZ_DIR)/findings; \
	  cp fuzz/corpus/$$name/* $$work/; \
	  if [ -d fuzz/regressions/$$name ]; then cp fuzz/regressions/$$name/* $$work/; fi; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  ASAN_OPTIONS=verify_asan_link_order=0 $(FUZZ_DIR)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) \
	    -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/findings/ $$work \
	    > $(FUZZ_DIR)/$$name.log 2>&1; \
	  status=$$?; \
	  grep -E '^(#[0-9]+.*(INITED|DONE)|Done |stat::(number_of_executed_units|average_exec_per_sec))' \
	    $(FUZZ_DIR)/$$name.log; \
	  if [ $$status -ne 0 ]; then \
	    tail -n 60 $(FUZZ_DIR)/$$name.log; \
	    echo "$$t found a fault: the input is in $(FUZZ_DIR)/findings"; exit $$status; \
	  fi; \
	done

fuzz-long:
	$(MAKE) fuzz FUZZ_SECONDS=$(FUZZ_LONG_SECONDS)

# The mutation run: each mutant of scripts/mutants.catalogue is compiled
# into its driver's module alone and loaded (VCP_MODULE_DIR) in place of the
# built one by the tests that load that driver, $(MUTANT_JOBS) mutants at a
# time, each test and each mutant with a time limit.  Prints every survivor
# and ends with "mutants: K killed of N (P%)".
MUTANT_JOBS ?= $(JOBS)

mutants: host
	nice python3 scripts/mutants.py --jobs $(MUTANT_JOBS)

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
