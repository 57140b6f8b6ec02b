# The two commands people need: `make demo` and `make test`. CMake presets do the building.
PRESET ?= $(if $(filter true,$(CI)),ci,mingw)
# The ARM64 tree each x64 preset takes its ARM64 programs from (CMakePresets.json's ARM64_BUILD).
ARM64_PRESET = $(if $(filter mingw,$(PRESET)),arm64,$(PRESET)-arm64)
PKG ?= examples/driver-package

.PHONY: all deps build test demo installer msi release sign bench clean

all: build

deps:
	@tools/install-deps

# Signing settings go to every configure, empty when not given: the build signs the installer
# exactly when the make command line says so (cmake/signing.cmake). Paths are made absolute
# because the build runs its steps from inside the build tree; a key in a token (KEY=pkcs11:...)
# is no path, and a module named without a folder is found by the system's library search.
# The PIN only ever comes from PASS_FILE: a URI carrying it would put it in CMake's cache.
$(if $(findstring pin-value=,$(KEY)),$(error KEY carries the token's PIN (pin-value=): put the PIN in a file and name it with PASS_FILE))
key_arg = $(if $(filter pkcs11:%,$(KEY)),$(KEY),$(abspath $(KEY)))
module_arg = $(if $(findstring /,$(PKCS11_MODULE)),$(abspath $(PKCS11_MODULE)),$(PKCS11_MODULE))
SIGNING = -DSIGN_CERT="$(if $(CERT),$(abspath $(CERT)))" -DSIGN_KEY:STRING="$(if $(KEY),$(key_arg))" \
	-DSIGN_PKCS11_MODULE="$(module_arg)" \
	-DSIGN_PASS_FILE="$(if $(PASS_FILE),$(abspath $(PASS_FILE)))" -DSIGN_TSA="$(strip $(TSA))"

# What tools/release and tools/msi take for signing.
SIGN_OPTIONS = --cert "$(CERT)" --key "$(KEY)" $(if $(PKCS11_MODULE),--pkcs11-module "$(PKCS11_MODULE)") \
	$(if $(PASS_FILE),--pass-file "$(PASS_FILE)") $(foreach url,$(TSA),--tsa "$(url)")

build: deps
	cmake --preset $(ARM64_PRESET)
	cmake --build --preset $(ARM64_PRESET)
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
# one), in the build tree, stamped with VERSION (default: the project version): raise it for every
# rebuild you ship, or Windows installs the rebuild beside the older one. With CERT and KEY (PASS_FILE, TSA as for sign) it carries a signed copy
# of the command and is signed itself.
msi: build
	tools/msi --build build/$(PRESET) --package "$(PKG)" $(if $(VERSION),--version "$(VERSION)") \
		$(if $(CERT)$(KEY),$(SIGN_OPTIONS))

# The reproducible release zip in dist/; `make sign CERT=cert.pem KEY=key.pem` (PASS_FILE=... for
# an encrypted key; KEY=pkcs11:... PKCS11_MODULE=<library> PASS_FILE=<PIN file> for a key in a
# token; TSA="<url> [<url>...]", time-stamping authorities asked in order) adds a signed copy
# beside it.
release: deps
	cmake --preset release-arm64
	cmake --build --preset release-arm64
	cmake --preset release
	cmake --build --preset release
	tools/release pack --build build/release --out dist

sign: release
	tools/release sign --build build/release --out dist $(SIGN_OPTIONS)

# The .exe's size and start-up time under Wine beside an empty console .exe.
bench: build
	tools/bench/bench --build build/$(PRESET)

# Nothing is ever mounted in the tree (the arm64 root's /proc is mounted only inside each run's own
# mount namespace); --one-file-system still keeps rm from following a mount, should one be there.
clean:
	rm -rf --one-file-system build dist
