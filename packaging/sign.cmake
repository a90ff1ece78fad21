# Authenticode signing with osslsigncode, for the release's programs and its MSI.
#
# joyvane_sign(FILE) signs FILE in place with the certificate JOYVANE_SIGN_CERT
# (PEM or DER, with any intermediate certificates) and its private key
# JOYVANE_SIGN_KEY (PEM or DER, not encrypted). Both come from the packaging
# command, never from the build:
#
#   cpack -D JOYVANE_SIGN_CERT=<cert.pem> -D JOYVANE_SIGN_KEY=<key.pem>
#
# The signatures carry no timestamp (that needs a timestamp server, which the
# build does not reach): they are valid while the certificate is.

function(joyvane_sign file)
    if(NOT JOYVANE_SIGN_CERT OR NOT JOYVANE_SIGN_KEY)
        message(FATAL_ERROR "sign.cmake: give both JOYVANE_SIGN_CERT and JOYVANE_SIGN_KEY")
    endif()
    find_program(JOYVANE_osslsigncode osslsigncode)
    if(NOT JOYVANE_osslsigncode)
        message(FATAL_ERROR "sign.cmake: osslsigncode not found (Debian: apt-get install osslsigncode)")
    endif()
    get_filename_component(name "${file}" NAME)
    # osslsigncode writes a new file; the original is replaced only once the
    # signed copy is complete.
    execute_process(
        COMMAND ${JOYVANE_osslsigncode} sign -certs "${JOYVANE_SIGN_CERT}" -key "${JOYVANE_SIGN_KEY}"
            -h sha256 -n Joyvane -in "${file}" -out "${file}.signed"
        OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        file(REMOVE "${file}.signed")
        message(FATAL_ERROR "sign.cmake: signing ${file} failed (${status}):\n${out}")
    endif()
    file(RENAME "${file}.signed" "${file}")
    message(STATUS "sign.cmake: signed ${name}")
endfunction()
