# Deployment data of the signature check: which root certificates and which
# policy-signing certificate the program trusts. They are the publishers' own
# certificates, so a build takes them from its configuration, never from the
# source: a release build passes the publishers' values, the `windows` preset
# the test PKI's (testbed/pki), and a build configured without them stops here.
#
#   QEL_ROOT_THUMBPRINTS          four SHA-1 thumbprints (40 hex digits each) separated by ';'
#   QEL_POLICY_SIGNER_THUMBPRINT  one SHA-1 thumbprint: the certificate that signs "trusted.js"
#
# They land in one generated header, <build>/generated/trust/TrustAnchors.h
# (from trust/TrustAnchors.h.in), which only trust/PolicyCheck.cpp reads.
set(QEL_ROOT_THUMBPRINTS "" CACHE STRING
    "The four pinned root certificates: SHA-1 thumbprints (40 hex digits each) separated by ';'")
set(QEL_POLICY_SIGNER_THUMBPRINT "" CACHE STRING
    "The certificate that signs the policy file trusted.js: its SHA-1 thumbprint (40 hex digits)")

set(_qel_sha1 "[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]")
set(_qel_sha1 "${_qel_sha1}${_qel_sha1}${_qel_sha1}${_qel_sha1}")
if(NOT QEL_ROOT_THUMBPRINTS MATCHES "^${_qel_sha1};${_qel_sha1};${_qel_sha1};${_qel_sha1}$")
  message(FATAL_ERROR "QEL_ROOT_THUMBPRINTS must be exactly four SHA-1 thumbprints of 40 hex digits separated "
                      "by ';' (the publishers' root certificates), not '${QEL_ROOT_THUMBPRINTS}'. The 'windows' "
                      "preset sets the test PKI's; a release build passes -DQEL_ROOT_THUMBPRINTS=...")
endif()
if(NOT QEL_POLICY_SIGNER_THUMBPRINT MATCHES "^${_qel_sha1}$")
  message(FATAL_ERROR "QEL_POLICY_SIGNER_THUMBPRINT must be one SHA-1 thumbprint of 40 hex digits (the "
                      "certificate that signs trusted.js), not '${QEL_POLICY_SIGNER_THUMBPRINT}'. The 'windows' "
                      "preset sets the test PKI's; a release build passes -DQEL_POLICY_SIGNER_THUMBPRINT=...")
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
