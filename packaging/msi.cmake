# Builds joyvane-<version>.msi from packaging/joyvane.wxs with msitools (wixl,
# msiinfo, msibuild), and signs it when a certificate and key are given.
#
#   cmake -D JOYVANE_MSI_VERSION=1.2.0 -D JOYVANE_MSI_FILES=<folder> \
#         -D JOYVANE_MSI_OUTPUT=<file.msi> \
#         [-D JOYVANE_SIGN_CERT=<cert.pem> -D JOYVANE_SIGN_KEY=<key.pem>] \
#         -P packaging/msi.cmake
#
# JOYVANE_MSI_FILES holds the files the package installs (joyvane_service.exe,
# joyvane_console.exe, uninstall.cmd, README.md, LICENSE), as CPack stages
# them; anything else there (install.cmd, a capture library) stays out. The
# Windows build's package step (cpack) includes this file through
# cpack_msi.cmake.

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

# What wixl 0.101 cannot express, patched into its tables with msibuild.
function(joyvane_msi_query query)
    execute_process(COMMAND ${JOYVANE_msibuild} "${output}" -q "${query}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "msi.cmake: msibuild failed (${status}): ${query}")
    endif()
endfunction()

# An elevated installation passes only secure public properties from the client
# to the installer service; wixl has no Secure attribute, so the settings join
# the list that its MajorUpgrade made.
execute_process(COMMAND ${JOYVANE_msiinfo} export "${output}" Property
    OUTPUT_VARIABLE properties RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "msi.cmake: msiinfo cannot read the Property table (${status})")
endif()
set(secure "BUTTON;MODE;INVERTED;POLL_MS;CLICK_MS;ACCOUNT")
if(properties MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
    joyvane_msi_query("UPDATE `Property` SET `Value` = '${CMAKE_MATCH_1};${secure}' WHERE `Property` = 'SecureCustomProperties'")
else()
    joyvane_msi_query("INSERT INTO `Property` (`Property`, `Value`) VALUES ('SecureCustomProperties', '${secure}')")
endif()

# ServiceInstall's ErrorControl: wixl writes 1 (normal) and drops Vital="yes";
# 0x8001 adds msidbServiceInstallErrorControlVital, so that a service that
# cannot be registered fails the installation instead of being skipped.
joyvane_msi_query("UPDATE `ServiceInstall` SET `ErrorControl` = 32769 WHERE `ServiceInstall` = 'Service'")

# wixl writes Execute="rollback" as an immediate action (2162: 50 + ignore the
# exit code (64) + no impersonation (2048)), which would run the rollback's
# sc.exe calls at once; 3442 adds in-script (1024) and rollback (256).
foreach(action ScPrivilegesRollback ScSidTypeRollback ScFailureRollback ScFailureFlagRollback)
    joyvane_msi_query("UPDATE `CustomAction` SET `Type` = 3442 WHERE `Action` = '${action}'")
endforeach()

# MajorUpgrade has no AllowSameVersionUpgrades in wixl: its upgrade row takes
# versions below this one only (Attributes 1, migrate features). 513 adds
# msidbUpgradeAttributesVersionMaxInclusive, so a rebuild of the same version
# (a new ProductCode, as every build has one) removes the installed one instead
# of installing beside it; the downgrade row still detects only newer versions.
# Attributes belongs to the table's key, so the row is replaced, not updated.
if(NOT properties MATCHES "\nUpgradeCode\t([^\r\n]*)")
    message(FATAL_ERROR "msi.cmake: no UpgradeCode in the Property table")
endif()
joyvane_msi_query("DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'")
joyvane_msi_query("INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('${CMAKE_MATCH_1}', '${JOYVANE_MSI_VERSION}', 513, 'WIX_UPGRADE_DETECTED')")

# The settings key goes with the product, values that other tools wrote there
# included: a Registry row named "-" without a value deletes the key when its
# component is removed (wixl has no RegistryKey/@Action).
joyvane_msi_query("INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) VALUES ('SettingsKey', 2, 'SOFTWARE\\Joyvane', '-', 'Settings')")

# The Event Log source's EventMessageFile is REG_EXPAND_SZ, as the Event Log
# reads it; wixl writes Type="expandable" as a plain string, and the Registry
# table marks an expandable value with a leading "#%".
joyvane_msi_query("UPDATE `Registry` SET `Value` = '#%[#ServiceExe]' WHERE `Name` = 'EventMessageFile' AND `Component_` = 'Service'")

if(JOYVANE_SIGN_CERT OR JOYVANE_SIGN_KEY)
    include("${CMAKE_CURRENT_LIST_DIR}/sign.cmake")
    joyvane_sign("${output}")
endif()
message(STATUS "msi.cmake: ${output}")
