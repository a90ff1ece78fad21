# Run by CPack once the release's files are staged, before any package is made
# from them: with a certificate and key given (cpack -D JOYVANE_SIGN_CERT=...
# -D JOYVANE_SIGN_KEY=...), both programs are signed in the staging folder, so
# the ZIP and the MSI carry signed programs. Without them nothing is signed.
if(JOYVANE_SIGN_CERT OR JOYVANE_SIGN_KEY)
    include("${CMAKE_CURRENT_LIST_DIR}/sign.cmake")
    foreach(program joyvane_service.exe joyvane_console.exe)
        joyvane_sign("${CPACK_TEMPORARY_DIRECTORY}/${program}")
    endforeach()
endif()
