# Thin wrapper over CMake: the README's two commands, and a few more.
JOBS ?= $(shell nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)

.PHONY: all bootstrap build build-sanitize build-tsan build-fuzz test check fuzz demo bench clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

# The build as shipped and its whole suite: what a newcomer runs first.
test: build
	@ctest --preset default -j $(JOBS)

# Everything that takes longer: the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer (any report fails it), the concurrency tests
# under ThreadSanitizer, a few seconds of each fuzz target over its corpus,
# the release built the ways users and packagers build it (GCC and clang
# Release, Debian's flags, MinSizeRel, none with a warning; the .deb, lintian
# and every program's hardening), and the real Claude Code driven through
# every way a turn ends under the host.
check: build build-sanitize build-tsan build-fuzz
	@ctest --preset sanitize -j $(JOBS)
	@ctest --preset tsan -j $(JOBS)
	@ctest --preset fuzz -j $(JOBS)
	@JOBS=$(JOBS) scripts/release-check
	@tests/claude/run build

build-sanitize: bootstrap
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize -j $(JOBS)

# Only what the concurrency tests need is built here.
build-tsan: bootstrap
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS)

# libFuzzer needs clang; the fuzz build holds the fuzz targets and nothing else.
# Apple's clang comes without libFuzzer: on macOS it is Homebrew's LLVM.
ifeq ($(shell uname -s),Darwin)
FUZZ_LLVM = $(shell brew --prefix llvm)
FUZZ_COMPILERS = -DCMAKE_C_COMPILER=$(FUZZ_LLVM)/bin/clang -DCMAKE_CXX_COMPILER=$(FUZZ_LLVM)/bin/clang++
endif
build-fuzz: bootstrap
	@cmake --preset fuzz $(FUZZ_COMPILERS) >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)

# About half a minute per fuzz target: make fuzz FUZZ_SECONDS=600 for a real search.
FUZZ_SECONDS ?= 30
fuzz: build-fuzz
	@scripts/fuzz $(FUZZ_SECONDS)

demo: build
	@scripts/demo

# The figures of bench/results/latest.md, peers included.
bench: bootstrap bench/peer-mcp/node_modules/.package-lock.json
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench -j $(JOBS)
	@build-bench/bench/tesselo-bench

# Without the SDK (no registry at hand) the peer's rows are left out, nothing else.
bench/peer-mcp/node_modules/.package-lock.json: bench/peer-mcp/package-lock.json
	@cd bench/peer-mcp && npm ci --no-audit --no-fund --loglevel=error >/dev/null || \
	  echo "npm ci failed in bench/peer-mcp: the MCP SDK peer will not be measured"

clean:
	rm -rf build build-*
