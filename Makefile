# Front door. `make test` builds and tests every target; `make demo` shows the
# agent running under Wine. Both first make sure the tools are installed.
JOBS ?= 2
RUNS ?= 20
FUZZ_SECONDS ?= 60
HARNESS := scripts/wine-harness build/windows
RELEASE_HARNESS := scripts/wine-harness build/windows-release
# What the end-to-end suites need of a build: the agent and every stand-in.
WINDOWS_PROGRAMS := OrvelVssAgent WineKeepAlive OrvelRunner OrvelVssProviderService OrvelManagementServer \
    OrvelBareClient OrvelBareEvents OrvelVssStandIn OrvelBcdeditStandIn

.NOTPARALLEL:
.PHONY: bootstrap test demo bench bench-e2e soak fuzz dist lint clean \
        test-linux test-linux-asan test-linux-tsan test-linux-fuzz test-windows test-windows-release \
        build-windows-release

bootstrap:
	@scripts/bootstrap

# Each stage configures, builds and runs its tests; the first failure stops
# the run. Stage times are printed so that the total stays in view.
define stage
	@start=$$(date +%s); \
	echo "=== $(1): configure + build"; \
	mkdir -p build; \
	cmake --preset $(1) >build/configure-$(1).log 2>&1 || { cat build/configure-$(1).log; exit 1; }; \
	cmake --build --preset $(1) --parallel $(JOBS) || exit 1; \
	echo "=== $(1): test"; \
	$(2) ctest --preset $(1) --stop-on-failure $(3) || exit 1; \
	echo "=== $(1): passed in $$(( $$(date +%s) - start )) s"
endef

test: bootstrap
	@start=$$(date +%s); \
	$(MAKE) --no-print-directory test-linux test-linux-asan test-linux-tsan test-linux-fuzz test-windows test-windows-release && \
	echo "=== all stages passed in $$(( $$(date +%s) - start )) s"

# The native stage also runs the lint gate over its compile database (the
# product's sources; make lint reads the tests too).
test-linux:
	$(call stage,linux)
	@scripts/lint build/linux $(JOBS) product
test-linux-asan:
	$(call stage,linux-asan)
test-linux-tsan:
	$(call stage,linux-tsan)
# Each fuzz target runs a few seconds from its seed corpus; a crash, a
# sanitizer report or a broken property fails the stage.
test-linux-fuzz:
	$(call stage,linux-fuzz)
# Windows tests share one prefix (C:\ProgramData, Global\ objects), so the
# test preset runs them one at a time, inside the harness. The fault rows and
# the planted-file rows run in the Release stage, against the agent that
# ships; running them here too would only repeat them against a build nobody
# runs.
# Its compile database is then read by clang-tidy as Clang would build it for
# Windows: the sources only this build compiles.
test-windows:
	$(call stage,windows,$(HARNESS),-E 'FaultRow\.|PlantedFiles\.')
	@scripts/lint build/windows $(JOBS) product

# The Release agent, what ships, with the stand-ins beside it.
build-windows-release:
	@mkdir -p build
	@cmake --preset windows-release >build/configure-windows-release.log 2>&1 || \
	    { cat build/configure-windows-release.log; exit 1; }
	@cmake --build --preset windows-release --parallel $(JOBS) --target $(WINDOWS_PROGRAMS)

# The fault matrix and the planted-file rows, against the Release agent that
# ships: only their suite is built in Release (about 3 minutes, build
# included).
test-windows-release:
	@start=$$(date +%s); \
	echo "=== windows-release: configure + build"; \
	$(MAKE) --no-print-directory build-windows-release || exit 1; \
	cmake --build --preset windows-release --parallel $(JOBS) --target e2e_tests || exit 1; \
	echo "=== windows-release: test (fault matrix)"; \
	$(RELEASE_HARNESS) ctest --preset windows-release --stop-on-failure || exit 1; \
	echo "=== windows-release: passed in $$(( $$(date +%s) - start )) s"

demo: bootstrap build-windows-release
	@$(RELEASE_HARNESS) scripts/demo build/windows-release

bench: bootstrap
	@cmake --preset linux-release >/dev/null
	@cmake --build --preset linux-release --parallel $(JOBS)
	@if [ -x build/linux-release/bench/orvel_bench ]; then build/linux-release/bench/orvel_bench; \
	 else echo "no benchmarks yet (bench/*.cpp)"; fi

# Whole runs under Wine, timed as callers see them (never part of make test).
bench-e2e: bootstrap build-windows-release
	@$(RELEASE_HARNESS) python3 bench/e2e_bench.py build/windows-release $(RUNS)

# SOAK_RUNS (default 50) default-mode runs under Wine against the stand-ins;
# make test runs 10 of them.
SOAK_RUNS ?= 50
soak: bootstrap
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows --parallel $(JOBS) --target e2e_tests
	@ORVEL_SOAK_RUNS=$(SOAK_RUNS) $(HARNESS) ctest --preset windows -R 'e2e_tests\.FaultMatrix\.RepeatedRuns' -V

# Every fuzz target (one per seed corpus) for FUZZ_SECONDS each, one after
# the other.
fuzz: bootstrap
	@cmake --preset linux-fuzz >/dev/null
	@cmake --build --preset linux-fuzz --parallel $(JOBS)
	@for seeds in fuzz/corpus/*; do \
	    scripts/fuzz-run build/linux-fuzz/fuzz/$${seeds##*/} $$seeds $(FUZZ_SECONDS) || exit 1; \
	done

# dist/OrvelVssAgent-<version>-win-x64.zip: the Release agent, its
# operator's README and the executable's SHA-256.
dist: bootstrap build-windows-release
	@python3 scripts/dist build/windows-release dist

# clang-format and clang-tidy (.clang-tidy) over the native build, then
# clang-tidy over the Windows build's own sources (configured when missing).
lint: bootstrap
	@scripts/lint build/linux $(JOBS)
	@scripts/lint build/windows $(JOBS)

clean:
	rm -rf build
