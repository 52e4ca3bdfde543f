# zeda_sign(<file>): Authenticode-signs a program, DLL or MSI in place with
# Debian's osslsigncode when the environment of the packaging run names a
# code-signing certificate; without one it does nothing. Used by the
# Windows packages' CPack scripts (ZedaSignStaged.cmake, ZedaMsi.cmake).
#   ZEDA_SIGN_CERT           a PKCS#12 file (certificate chain and key), or a
#                            PEM certificate (chain) when ZEDA_SIGN_KEY is set
#   ZEDA_SIGN_KEY            the PEM private key of a PEM certificate
#   ZEDA_SIGN_PASSWORD_FILE  a file holding the password of the PKCS#12 file
#                            or of the key, when it has one
#   ZEDA_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server, optional
# A signature that can't be made stops the packaging: a package is never
# left half signed.
function(zeda_sign file)
  set(cert "$ENV{ZEDA_SIGN_CERT}")
  set(key "$ENV{ZEDA_SIGN_KEY}")
  set(password "$ENV{ZEDA_SIGN_PASSWORD_FILE}")
  set(timestamp "$ENV{ZEDA_SIGN_TIMESTAMP_URL}")
  if(cert STREQUAL "")
    if(NOT key STREQUAL "" OR NOT password STREQUAL "")
      message(FATAL_ERROR "ZEDA_SIGN_KEY or ZEDA_SIGN_PASSWORD_FILE is set, but no ZEDA_SIGN_CERT to sign ${file} with")
    endif()
    return()
  endif()
  find_program(ZEDA_OSSLSIGNCODE osslsigncode)
  if(NOT ZEDA_OSSLSIGNCODE)
    message(FATAL_ERROR "ZEDA_SIGN_CERT is set, but osslsigncode is not installed (apt-get install osslsigncode): "
      "${file} can't be signed")
  endif()
  if(key STREQUAL "")
    set(with -pkcs12 ${cert})
  else()
    set(with -certs ${cert} -key ${key})
  endif()
  foreach(given cert key password)
    if(NOT "${${given}}" STREQUAL "" AND NOT EXISTS "${${given}}")
      message(FATAL_ERROR "Can't sign ${file}: ${${given}} does not exist")
    endif()
  endforeach()
  if(NOT password STREQUAL "")
    list(APPEND with -readpass ${password})
  endif()
  if(NOT timestamp STREQUAL "")
    list(APPEND with -ts ${timestamp})
  endif()
  file(REMOVE ${file}.signed)
  execute_process(COMMAND ${ZEDA_OSSLSIGNCODE} sign ${with} -h sha256 -n ${CPACK_ZEDA_PRODUCT}
      -in ${file} -out ${file}.signed
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    file(REMOVE ${file}.signed)
    message(FATAL_ERROR "Signing ${file} with ${cert} failed:\n${out}")
  endif()
  file(RENAME ${file}.signed ${file})
endfunction()
