# Signing what the build makes, when asked: `make installer CERT=… KEY=… [PASS_FILE=…] [TSA=…]`
# hands these settings to every configure, empty when not given, so the build signs exactly when
# the make command line says so. Every signed output is made by tools/release sign-file, the one
# signing function, which also asks the time-stamping authorities.
set(SIGN_CERT "" CACHE FILEPATH "Code-signing certificate (PEM) for the installers; empty: unsigned")
# A STRING, not a FILEPATH: CMake would make a token's key URI (pkcs11:...) into a path.
set(SIGN_KEY "" CACHE STRING "Its private key: a PEM file, or a PKCS#11 URI (pkcs11:...) of a key in a token")
set(SIGN_PKCS11_MODULE "" CACHE STRING "The token's PKCS#11 library, for a pkcs11: key")
set(SIGN_PASS_FILE "" CACHE FILEPATH "A file holding the key's passphrase, or the token's PIN")
set(SIGN_TSA "" CACHE STRING "RFC 3161 time-stamping authorities, space-separated, asked in order")

set(SIGNING OFF)
if(SIGN_CERT OR SIGN_KEY)
  if(NOT (SIGN_CERT AND SIGN_KEY))
    message(FATAL_ERROR "signing needs both CERT=<certificate file> and KEY=<private key file or pkcs11: URI>")
  endif()
  set(SIGNING ON)
endif()

# Rewritten only when the settings change: signed outputs depend on it, so they are made anew,
# signed or not, when signing is turned on or off or its settings change.
set(SIGNING_STAMP ${CMAKE_BINARY_DIR}/signing-settings.txt)
file(CONFIGURE OUTPUT ${SIGNING_STAMP}
  CONTENT "cert=${SIGN_CERT}\nkey=${SIGN_KEY}\nmodule=${SIGN_PKCS11_MODULE}\npass-file=${SIGN_PASS_FILE}\ntsa=${SIGN_TSA}\n")

# A key file is a dependency of what is signed with it, and a relative name is taken from the
# source folder, where `cmake --preset` runs; a key in a token is neither.
set(SIGN_KEY_FILE)
if(SIGNING AND NOT SIGN_KEY MATCHES "^pkcs11:")
  get_filename_component(SIGN_KEY_FILE "${SIGN_KEY}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
endif()

# sign_file_command(VAR SOURCE TARGET): in VAR, the COMMAND arguments of a custom command that
# signs SOURCE into TARGET with the settings above (TARGET is absent when signing fails).
function(sign_file_command var source target)
  # A token's URI separates its attributes with semicolons, which are CMake's list separator.
  string(REPLACE ";" "$<SEMICOLON>" key "${SIGN_KEY}")
  if(SIGN_KEY_FILE)
    set(key ${SIGN_KEY_FILE})
  endif()
  set(argv ${PROJECT_SOURCE_DIR}/tools/release sign-file --cert ${SIGN_CERT} --key "${key}")
  if(SIGN_PKCS11_MODULE)
    list(APPEND argv --pkcs11-module ${SIGN_PKCS11_MODULE})
  endif()
  if(SIGN_PASS_FILE)
    list(APPEND argv --pass-file ${SIGN_PASS_FILE})
  endif()
  separate_arguments(authorities UNIX_COMMAND "${SIGN_TSA}")
  foreach(url IN LISTS authorities)
    list(APPEND argv --tsa ${url})
  endforeach()
  set(${var} COMMAND ${argv} ${source} ${target} PARENT_SCOPE)
endfunction()
