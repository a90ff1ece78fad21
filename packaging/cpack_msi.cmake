# CPack's External generator runs this after staging the release's files: the
# MSI is made from the same staged (and, when signing, signed) files as the ZIP.
set(JOYVANE_MSI_VERSION "${CPACK_PACKAGE_VERSION}")
set(JOYVANE_MSI_FILES "${CPACK_TEMPORARY_DIRECTORY}")
set(JOYVANE_MSI_OUTPUT "${CPACK_TOPLEVEL_DIRECTORY}/joyvane-${CPACK_PACKAGE_VERSION}.msi")
include("${CMAKE_CURRENT_LIST_DIR}/msi.cmake")
set(CPACK_EXTERNAL_BUILT_PACKAGES "${JOYVANE_MSI_OUTPUT}")
