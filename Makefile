# Build, run and test Tessimo on Debian 12.
#   make run    builds and starts the application
#   make test   builds and runs every test (under Xvfb)
#   make test-clang  the same, built with clang in build-clang/ (on demand)
#   make bench  builds and runs the benchmarks
# Missing Debian packages are installed first (as root, or through sudo).

BUILD ?= build
JOBS ?= $(shell nproc)
CTEST_ARGS ?=

PACKAGES := cmake make g++ pkg-config qtbase5-dev libvtk9-qt-dev libopencv-dev \
            libgtest-dev libbenchmark-dev xvfb xauth libgl1-mesa-dri opencv-doc \
            libopencv-contrib-dev clang-format

.PHONY: all deps configure build run test test-clang format-check bench clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing missing packages:$$missing"; \
	  if [ "$$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi; \
	  $$sudo apt-get update && \
	  DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y $$missing; \
	fi

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j$(JOBS)

run: build
	cd $(BUILD) && ./tessimo

# The tests run with their own temporary, configuration, cache and runtime
# folders under $(BUILD)/test-home (tests/CMakeLists.txt). xvfb-run and CTest
# itself get a session folder there, removed afterwards; the X server removes
# its lock and socket when it stops, and the socket folder /tmp/.X11-unix goes
# again when this run made it. So /tmp and the home folder stay as they were.
TEST_HOME = $(abspath $(BUILD))/test-home

test: build format-check
	@session=$(TEST_HOME)/session; rm -rf $$session; \
	mkdir -p $$session/tmp $$session/config $$session/runtime && chmod 700 $$session/runtime; \
	if [ -d /tmp/.X11-unix ]; then x11=kept; else x11=; fi; \
	cd $(BUILD) && TMPDIR=$$session/tmp XDG_CONFIG_HOME=$$session/config XDG_RUNTIME_DIR=$$session/runtime \
	  XDG_CACHE_HOME=$(TEST_HOME)/cache xvfb-run -a -s "-screen 0 1920x1080x24 -noreset" \
	  ctest --output-on-failure --timeout 900 -j$(JOBS) $(CTEST_ARGS); rc=$$?; \
	rm -rf $$session; \
	if [ -z "$$x11" ]; then rmdir /tmp/.X11-unix 2>/dev/null; fi; \
	exit $$rc

# The suite built with clang, which evaluates a call's arguments in another
# order than g++: a read of a moved-from value or a result that depends on
# that order shows as a difference. Not part of `make test`.
CLANG_BUILD ?= build-clang

test-clang: deps
	@$(MAKE) --no-print-directory deps PACKAGES=clang
	@test -f $(CLANG_BUILD)/CMakeCache.txt || cmake -S . -B $(CLANG_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	@$(MAKE) --no-print-directory test BUILD=$(CLANG_BUILD)

# Every source in the style of .clang-format: drift fails the tests.
format-check: deps
	@find src tests bench fuzz \( -name '*.h' -o -name '*.cpp' \) -print0 | \
	  xargs -0 clang-format --dry-run -Werror

bench: build
	@for b in $(BUILD)/bench/*_bench; do [ -x "$$b" ] && "$$b"; done; true

clean:
	rm -rf $(BUILD)
