# Build, run and test Tessimo on Debian 12.
#   make run    builds and starts the application
#   make test   builds and runs every test (under Xvfb)
#   make bench  builds and runs the benchmarks
# Missing Debian packages are installed first (as root, or through sudo).

BUILD ?= build
JOBS ?= $(shell nproc)
CTEST_ARGS ?=

PACKAGES := cmake make g++ pkg-config qtbase5-dev libvtk9-qt-dev libopencv-dev \
            libgtest-dev libbenchmark-dev xvfb xauth libgl1-mesa-dri opencv-doc \
            libopencv-contrib-dev clang-format

.PHONY: all deps configure build run test format-check bench clean

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

test: build format-check
	cd $(BUILD) && xvfb-run -a -s "-screen 0 1920x1080x24 -noreset" \
	  ctest --output-on-failure --timeout 900 -j$(JOBS) $(CTEST_ARGS)

# Every source in the style of .clang-format: drift fails the tests.
format-check: deps
	@find src tests bench fuzz \( -name '*.h' -o -name '*.cpp' \) -print0 | \
	  xargs -0 clang-format --dry-run -Werror

bench: build
	@for b in $(BUILD)/bench/*_bench; do [ -x "$$b" ] && "$$b"; done; true

clean:
	rm -rf $(BUILD)
