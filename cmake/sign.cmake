# Signs fwt.exe after its link with Authenticode, SHA-256:
#   cmake -DEXE=fwt.exe -DTOOL=osslsigncode -DPKCS12=cert.p12 [-DPASSWORD_FILE=f] [-DTIMESTAMP_URL=u]
#         -P sign.cmake
# A failed signing removes the executable, so that the next build links and signs it again rather
# than leaving an unsigned fwt.exe that make takes for up to date.
set(options -pkcs12 ${PKCS12} -h sha256 -n "Device Firmware Update Tool")
if(PASSWORD_FILE)
    list(APPEND options -readpass ${PASSWORD_FILE})
endif()
if(TIMESTAMP_URL)
    list(APPEND options -ts ${TIMESTAMP_URL})
endif()
file(REMOVE "${EXE}.signed")
execute_process(COMMAND ${TOOL} sign ${options} -in ${EXE} -out ${EXE}.signed
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
    file(REMOVE "${EXE}" "${EXE}.signed")
    message(FATAL_ERROR "Signing ${EXE} failed; it was removed:\n${out}")
endif()
file(RENAME "${EXE}.signed" "${EXE}")
