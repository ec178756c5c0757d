# Deployment data of the signature check: which root certificates and which
# policy-signing certificate the program trusts. They are the publishers' own
# certificates, so a build takes them from its configuration, never from the
# source: a release build passes the publishers' values (scripts/release, the
# `windows-x86` preset, which has none of its own), the test presets (`windows`,
# `windows-x86-test`) the test PKI's (testbed/pki), and a build configured
# without them stops here. A release configuration (QEL_RELEASE, set by the
# `windows-x86` preset) also stops when a value is a certificate of the test
# PKI, and a build that trusts one says so (TrustAnchors.h, kBuiltForTestPki).
#
#   QEL_ROOT_THUMBPRINTS          four SHA-1 thumbprints (40 hex digits each) separated by ';'
#   QEL_POLICY_SIGNER_THUMBPRINT  one SHA-1 thumbprint: the certificate that signs "trusted.js"
#
# They land in one generated header, <build>/generated/trust/TrustAnchors.h
# (from trust/TrustAnchors.h.in): the pins for trust/PolicyCheck.cpp, and the
# test-PKI notice for the program's first log line and qeltrust.
set(QEL_ROOT_THUMBPRINTS "" CACHE STRING
    "The four pinned root certificates: SHA-1 thumbprints (40 hex digits each) separated by ';'")
set(QEL_POLICY_SIGNER_THUMBPRINT "" CACHE STRING
    "The certificate that signs the policy file trusted.js: its SHA-1 thumbprint (40 hex digits)")
option(QEL_RELEASE "A release configuration: no certificate of the test PKI may be a trust anchor" OFF)
set(_qel_pass "The test presets (windows, windows-x86-test) set the test PKI's; a release (preset windows-x86, \
scripts/release) passes the publishers' own")

set(_qel_sha1 "[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]")
set(_qel_sha1 "${_qel_sha1}${_qel_sha1}${_qel_sha1}${_qel_sha1}")
if(NOT QEL_ROOT_THUMBPRINTS MATCHES "^${_qel_sha1};${_qel_sha1};${_qel_sha1};${_qel_sha1}$")
  message(FATAL_ERROR "QEL_ROOT_THUMBPRINTS must be exactly four SHA-1 thumbprints of 40 hex digits separated "
                      "by ';' (the publishers' root certificates), not '${QEL_ROOT_THUMBPRINTS}'. ${_qel_pass}: "
                      "-DQEL_ROOT_THUMBPRINTS=...")
endif()
if(NOT QEL_POLICY_SIGNER_THUMBPRINT MATCHES "^${_qel_sha1}$")
  message(FATAL_ERROR "QEL_POLICY_SIGNER_THUMBPRINT must be one SHA-1 thumbprint of 40 hex digits (the "
                      "certificate that signs trusted.js), not '${QEL_POLICY_SIGNER_THUMBPRINT}'. ${_qel_pass}: "
                      "-DQEL_POLICY_SIGNER_THUMBPRINT=...")
endif()

# The test PKI commits its private keys: a program that trusts any of its
# certificates trusts whatever anyone signs with them. Its thumbprints are
# taken from the certificates themselves, so no list falls behind the PKI.
find_program(QEL_OPENSSL openssl REQUIRED)
file(GLOB _qel_test_certs ${CMAKE_SOURCE_DIR}/testbed/pki/*.crt)
set(QEL_BUILT_FOR_TEST_PKI OFF)
foreach(cert IN LISTS _qel_test_certs)
  execute_process(COMMAND ${QEL_OPENSSL} x509 -in ${cert} -noout -fingerprint -sha1
                  OUTPUT_VARIABLE fingerprint RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "^.*=" "" fingerprint "${fingerprint}")
  string(REPLACE ":" "" fingerprint "${fingerprint}")
  if(NOT rc EQUAL 0 OR NOT fingerprint MATCHES "^${_qel_sha1}$")
    message(FATAL_ERROR "openssl could not read the test PKI's certificate ${cert}")
  endif()
  foreach(thumbprint IN LISTS QEL_ROOT_THUMBPRINTS QEL_POLICY_SIGNER_THUMBPRINT)
    string(TOUPPER "${thumbprint}" thumbprint)
    if(thumbprint STREQUAL fingerprint)
      set(QEL_BUILT_FOR_TEST_PKI ON)
      get_filename_component(name ${cert} NAME)
      if(QEL_RELEASE)
        message(FATAL_ERROR "A release never trusts the test PKI: ${thumbprint} is the thumbprint of "
                            "testbed/pki/${name}, whose private key is in the source tree. Pass the "
                            "publishers' own QEL_ROOT_THUMBPRINTS and QEL_POLICY_SIGNER_THUMBPRINT.")
      endif()
    endif()
  endforeach()
endforeach()
if(QEL_BUILT_FOR_TEST_PKI)
  set(QEL_BUILT_FOR_TEST_PKI_CXX true)
else()
  set(QEL_BUILT_FOR_TEST_PKI_CXX false)
endif()

# "27B6..." -> "0x27, 0xB6, ..." for a C array initializer.
function(_qel_hex_bytes hex out)
  string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " bytes "${hex}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

set(QEL_ROOT_THUMBPRINT_BYTES "")
foreach(thumbprint IN LISTS QEL_ROOT_THUMBPRINTS)
  _qel_hex_bytes(${thumbprint} bytes)
  string(APPEND QEL_ROOT_THUMBPRINT_BYTES "    {${bytes}},\n")
endforeach()
_qel_hex_bytes(${QEL_POLICY_SIGNER_THUMBPRINT} QEL_POLICY_SIGNER_THUMBPRINT_BYTES)
configure_file(${CMAKE_SOURCE_DIR}/trust/TrustAnchors.h.in ${CMAKE_BINARY_DIR}/generated/trust/TrustAnchors.h @ONLY)
