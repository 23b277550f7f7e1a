# Wraps CMake. `make run` and `make test` each work as the first command on a
# fresh machine: both check (and, as root, install) the build tools first.

BUILD_DIR := build
TEST_DIR := build-test
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
JOBS := $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

.PHONY: all deps build run test clean install uninstall package

all: build

deps:
	@scripts/check-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOK_TESTS=OFF
	cmake --build $(BUILD_DIR) --target tavok tavok-dis tavok-run -j $(JOBS)

# The whole chain on the bundled example: compile examples/hello.wmls (with
# its debug file), list the unit, and call hello("world"), which prints
# "Hello, world!".
run: build
	$(BUILD_DIR)/tavok -g examples/hello.wmls $(BUILD_DIR)/hello.wmlsc
	$(BUILD_DIR)/tavok-dis $(BUILD_DIR)/hello.wmlsc
	$(BUILD_DIR)/tavok-run $(BUILD_DIR)/hello.wmlsc hello world

# Every test, on a build with AddressSanitizer and UndefinedBehaviorSanitizer.
test: deps
	cmake -S . -B $(TEST_DIR) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOK_SANITIZE=ON
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(TEST_DIR)

# The program in $(PREFIX)/bin, the manual page in $(PREFIX)/share/man/man1,
# the README and the examples in $(PREFIX)/share/doc/tavok. DESTDIR, when
# set, is put before every path. The build directory keeps an install record.
install: build
	cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# Removes exactly what the last `make install` put in place, wherever that
# was, and the directories it created once they are empty.
uninstall:
	cmake -DINSTALL_RECORD=$(BUILD_DIR)/install_record.txt -P cmake/uninstall.cmake

# A Debian package, $(BUILD_DIR)/tavok_<version>-<revision>_<architecture>.deb,
# checked by lintian (which make deps installs here, as root). Errors and
# warnings fail; cmake/lintian-overrides lists the findings that do not apply.
package: build
	@scripts/check-deps.sh --package
	cmake --build $(BUILD_DIR) --target package
	@if command -v lintian >/dev/null 2>&1; then \
	  deb=$$(ls -t $(BUILD_DIR)/tavok_*.deb | head -n 1); echo "lintian $$deb"; \
	  lintian --tag-display-limit 0 --fail-on error,warning "$$deb"; \
	else echo "lintian not installed: the package was not checked"; fi

# Compile times and peak memory on generated units of every shape at 0.1, 1
# and 4 MB, and on one function of a million statements; then the time
# tavok-dis takes to load, verify and list a 4 MB unit; then the machine's
# instructions per second on a loop and on fib(27), and its start-up
# (bench/README.md).
# `make bench BASELINE=<commit>` builds that commit the same way into
# build-base-<commit> and compares the compiler with it unit by unit (CPU
# time, peak memory, and the units' bytes).
# Not part of `make test`.
.PHONY: bench
BASELINE ?=
BASE_DIR = build-base-$(BASELINE)
bench: build
ifeq ($(BASELINE),)
	python3 bench/run.py --tavok $(BUILD_DIR)/tavok
else
	rm -rf $(BASE_DIR)/src && mkdir -p $(BASE_DIR)/src
	git archive $(BASELINE) | tar -x -C $(BASE_DIR)/src
	cmake -S $(BASE_DIR)/src -B $(BASE_DIR) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOK_TESTS=OFF
	cmake --build $(BASE_DIR) --target tavok -j $(JOBS)
	python3 bench/run.py --tavok $(BUILD_DIR)/tavok --baseline $(BASE_DIR)/tavok
endif
	python3 bench/runtime.py --tavok $(BUILD_DIR)/tavok --dis $(BUILD_DIR)/tavok-dis
	python3 bench/machine.py --tavok $(BUILD_DIR)/tavok --run $(BUILD_DIR)/tavok-run
