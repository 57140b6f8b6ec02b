# The two commands people need: `make demo` and `make test`. CMake presets do the building.
PRESET ?= $(if $(filter true,$(CI)),ci,mingw)
PKG ?= examples/driver-package

.PHONY: all deps build test demo installer msi release sign bench clean

all: build

deps:
	@tools/install-deps

# Signing settings go to every configure, empty when not given: the build signs the installer
# exactly when the make command line says so (cmake/signing.cmake). Paths are made absolute
# because the build runs its steps from inside the build tree.
SIGNING = -DSIGN_CERT="$(if $(CERT),$(abspath $(CERT)))" -DSIGN_KEY="$(if $(KEY),$(abspath $(KEY)))" \
	-DSIGN_PASS_FILE="$(if $(PASS_FILE),$(abspath $(PASS_FILE)))" -DSIGN_TSA="$(strip $(TSA))"

# What tools/release and tools/msi take for signing.
SIGN_OPTIONS = --cert "$(CERT)" --key "$(KEY)" $(if $(PASS_FILE),--pass-file "$(PASS_FILE)") \
	$(foreach url,$(TSA),--tsa "$(url)")

build: deps
	cmake --preset $(PRESET) $(SIGNING)
	cmake --build --preset $(PRESET)

test: build
	ctest --preset $(PRESET)

# Without PKG on the command line, the demo's own: the simulated adapter's first install.
demo: build
	tools/demo --build build/$(PRESET) $(if $(filter file,$(origin PKG)),,--package "$(PKG)")

# The example installer (examples/installer) with the command and the sample package, in the build
# tree. With CERT and KEY (PASS_FILE, TSA as for sign) it carries a signed copy of the command and
# is signed itself.
installer: build
	cmake --build --preset $(PRESET) --target installer
	@echo "Installer: build/$(PRESET)/examples/usb-serial-driver-setup.exe"

# The example MSI (examples/msi) with the command and a driver package (PKG, default the sample
# one), in the build tree. With CERT and KEY (PASS_FILE, TSA as for sign) it carries a signed copy
# of the command and is signed itself.
msi: build
	tools/msi --build build/$(PRESET) --package "$(PKG)" $(if $(CERT)$(KEY),$(SIGN_OPTIONS))

# The reproducible release zip in dist/; `make sign CERT=cert.pem KEY=key.pem` (PASS_FILE=... for
# an encrypted key; TSA="<url> [<url>...]", time-stamping authorities asked in order) adds a signed
# copy beside it.
release: deps
	cmake --preset release
	cmake --build --preset release
	tools/release pack --build build/release --out dist

sign: release
	tools/release sign --build build/release --out dist $(SIGN_OPTIONS)

# The .exe's size and start-up time under Wine beside an empty console .exe.
bench: build
	tools/bench/bench --build build/$(PRESET)

clean:
	rm -rf build dist
