# Signing with the test PKI (testbed/pki): every stand-in that the program
# starts or loads is signed the way the real one is, as a step of its build.
#
# qel_sign(<target> CERT <name>
#          [HASH sha256|sha1]
#          [TIMESTAMP "<YYYY-MM-DD HH:MM:SS>"]
#          [VARIANT <file name> <certificate name>|UNSIGNED]...)
#
#   CERT       the certificate of testbed/pki that signs the target's file in
#              place (<name>.chain.pem and <name>.key), as a POST_BUILD step.
#              The signature carries the whole chain up to the root.
#   HASH       the digest of the signature (default sha256).
#   TIMESTAMP  adds an RFC 3161 time stamp of the test time-stamping authority
#              (certificate "tsa") made at that UTC time.
#   VARIANT    before signing, also writes a copy of the built file beside it
#              under <file name>: signed with another certificate of the PKI
#              ("<name>@<YYYY-MM-DD HH:MM:SS>": with a time stamp made then),
#              or left UNSIGNED. May be given several times (a refusal test
#              copies the variant in place under the real name).
#
# Call it after qel_split_debug (or anything else that rewrites the file):
# POST_BUILD steps run in the order they were added, and a change after
# signing breaks the signature.
#
# Certificates (see testbed/pki/make-pki.sh): tarsen ("Tarsen, Inc."), orvel
# ("Orvel Corporation"), partner (a publisher only a newer policy file
# accepts), foreign (never accepted), tarsen-unpinned, tarsen-untrusted,
# tarsen-cross, tarsen-nousage, tarsen-expired, tarsen-expired-sha1,
# policy-signer, policy-unpinned.
set(QEL_PKI_DIR ${CMAKE_SOURCE_DIR}/testbed/pki)
find_program(QEL_PYTHON3 python3 REQUIRED)
# The attack samples edit signatures with asn1crypto: Debian's Python has it
# (python3-asn1crypto, scripts/setup), a Python found first on PATH may not.
find_program(QEL_PYTHON3_ASN1 python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
execute_process(COMMAND ${QEL_PYTHON3_ASN1} -c "import asn1crypto" RESULT_VARIABLE _qel_asn1 OUTPUT_QUIET ERROR_QUIET)
if(NOT _qel_asn1 EQUAL 0)
  message(FATAL_ERROR "${QEL_PYTHON3_ASN1} cannot import asn1crypto: run scripts/setup (python3-asn1crypto)")
endif()

function(qel_sign target)
  cmake_parse_arguments(PARSE_ARGV 1 SIGN "" "CERT;HASH;TIMESTAMP" "VARIANT")
  if(NOT SIGN_CERT)
    message(FATAL_ERROR "qel_sign(${target}): CERT <name> is required")
  endif()
  if(NOT EXISTS ${QEL_PKI_DIR}/${SIGN_CERT}.chain.pem)
    message(FATAL_ERROR "qel_sign(${target}): no certificate '${SIGN_CERT}' in ${QEL_PKI_DIR}")
  endif()
  set(sign ${QEL_PYTHON3} ${QEL_PKI_DIR}/qelsign.py)
  set(file $<TARGET_FILE:${target}>)
  set(dir $<TARGET_FILE_DIR:${target}>)

  list(LENGTH SIGN_VARIANT count)
  math(EXPR odd "${count} % 2")
  if(odd)
    message(FATAL_ERROR "qel_sign(${target}): VARIANT takes a file name and a certificate name (or UNSIGNED)")
  endif()
  while(SIGN_VARIANT)
    list(POP_FRONT SIGN_VARIANT name cert)
    if(cert STREQUAL "UNSIGNED")
      add_custom_command(TARGET ${target} POST_BUILD COMMAND ${CMAKE_COMMAND} -E copy ${file} ${dir}/${name} VERBATIM)
    elseif(cert MATCHES "^([^@]+)@(.+)$")
      add_custom_command(TARGET ${target} POST_BUILD
                         COMMAND ${sign} --cert ${CMAKE_MATCH_1} --timestamp ${CMAKE_MATCH_2} ${file} ${dir}/${name} VERBATIM)
    else()
      add_custom_command(TARGET ${target} POST_BUILD COMMAND ${sign} --cert ${cert} ${file} ${dir}/${name} VERBATIM)
    endif()
  endwhile()

  set(options --cert ${SIGN_CERT})
  if(SIGN_HASH)
    list(APPEND options --hash ${SIGN_HASH})
  endif()
  if(SIGN_TIMESTAMP)
    list(APPEND options --timestamp ${SIGN_TIMESTAMP})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD COMMAND ${sign} ${options} ${file} ${file}
                     COMMENT "Signing ${target} with the test certificate '${SIGN_CERT}'" VERBATIM)
endfunction()
