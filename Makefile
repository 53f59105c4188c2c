# Thin wrapper over CMake: the README's two commands, and a few more.
JOBS ?= $(shell nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)

.PHONY: all bootstrap build build-sanitize test test-sanitize demo bench clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

# The whole suite runs twice: as shipped, then under AddressSanitizer and
# UndefinedBehaviorSanitizer, where any report fails the run.
test: build build-sanitize
	@ctest --preset default -j $(JOBS)
	@ctest --preset sanitize -j $(JOBS)

build-sanitize: bootstrap
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize -j $(JOBS)

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
