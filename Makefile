# The two commands people need: `make demo` and `make test`. CMake presets do the building.
PRESET ?= $(if $(filter true,$(CI)),ci,mingw)
PKG ?= examples/driver-package

.PHONY: all deps build test demo clean

all: build

deps:
	@tools/install-deps

build: deps
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET)

test: build
	ctest --preset $(PRESET)

demo: build
	tools/demo --build build/$(PRESET) --package "$(PKG)"

clean:
	rm -rf build dist
