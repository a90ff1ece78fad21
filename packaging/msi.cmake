# Builds joyvane-<version>.msi from packaging/joyvane.wxs with msitools (wixl,
# msiinfo, msibuild), and signs it when a certificate and key are given.
#
#   cmake -D JOYVANE_MSI_VERSION=1.2.0 -D JOYVANE_MSI_FILES=<folder> \
#         -D JOYVANE_MSI_OUTPUT=<file.msi> \
#         [-D JOYVANE_SIGN_CERT=<cert.pem> -D JOYVANE_SIGN_KEY=<key.pem>] \
#         -P packaging/msi.cmake
#
# JOYVANE_MSI_FILES holds the files the package installs (joyvane_service.exe,
# joyvane_console.exe, README.md, LICENSE), as CPack stages them. The Windows
# build's package step (cpack) includes this file through cpack_msi.cmake.

foreach(input JOYVANE_MSI_VERSION JOYVANE_MSI_FILES JOYVANE_MSI_OUTPUT)
    if(NOT ${input})
        message(FATAL_ERROR "msi.cmake: ${input} is not set")
    endif()
endforeach()
foreach(tool wixl msiinfo msibuild)
    find_program(JOYVANE_${tool} ${tool})
    if(NOT JOYVANE_${tool})
        message(FATAL_ERROR "msi.cmake: ${tool} not found (Debian: apt-get install wixl msitools)")
    endif()
endforeach()

get_filename_component(wxs "${CMAKE_CURRENT_LIST_DIR}/joyvane.wxs" ABSOLUTE)
get_filename_component(output "${JOYVANE_MSI_OUTPUT}" ABSOLUTE)
file(REMOVE "${output}")

# wixl resolves File/@Source against the current directory only.
execute_process(
    COMMAND ${JOYVANE_wixl} --arch x86 -D "Version=${JOYVANE_MSI_VERSION}" -o "${output}" "${wxs}"
    WORKING_DIRECTORY "${JOYVANE_MSI_FILES}"
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "msi.cmake: wixl failed (${status})")
endif()

# An elevated installation passes only secure public properties from the client
# to the installer service; wixl has no Secure attribute, so the five settings
# join the list that its MajorUpgrade made.
execute_process(COMMAND ${JOYVANE_msiinfo} export "${output}" Property
    OUTPUT_VARIABLE properties RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "msi.cmake: msiinfo cannot read the Property table (${status})")
endif()
set(secure "BUTTON;MODE;INVERTED;POLL_MS;CLICK_MS")
if(properties MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
    set(query "UPDATE `Property` SET `Value` = '${CMAKE_MATCH_1};${secure}' WHERE `Property` = 'SecureCustomProperties'")
else()
    set(query "INSERT INTO `Property` (`Property`, `Value`) VALUES ('SecureCustomProperties', '${secure}')")
endif()
execute_process(COMMAND ${JOYVANE_msibuild} "${output}" -q "${query}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "msi.cmake: msibuild failed (${status})")
endif()

if(JOYVANE_SIGN_CERT OR JOYVANE_SIGN_KEY)
    include("${CMAKE_CURRENT_LIST_DIR}/sign.cmake")
    joyvane_sign("${output}")
endif()
message(STATUS "msi.cmake: ${output}")
