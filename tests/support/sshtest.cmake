# Environment of a test that talks SSH. libssh takes the home folder, and so
# ~/.ssh/known_hosts, from the password database (getpwuid), not from HOME, so
# such a test runs under nss_wrapper with a database that gives the running
# user the test's private home (the one env_add_test makes).
find_library(ENV_NSS_WRAPPER_LIBRARY nss_wrapper)
set(ENV_SFTP_SERVER_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sftpserver.py)

# env_ssh_test_environment(<test name> <output variable>)
function(env_ssh_test_environment name outvar)
    if(NOT ENV_NSS_WRAPPER_LIBRARY)
        message(FATAL_ERROR "libnss_wrapper.so not found: install libnss-wrapper (scripts/packages.txt)")
    endif()
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND id -g OUTPUT_VARIABLE gid OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND id -un OUTPUT_VARIABLE user OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND id -gn OUTPUT_VARIABLE group OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(home ${CMAKE_CURRENT_BINARY_DIR}/home/${name})
    set(nss ${CMAKE_CURRENT_BINARY_DIR}/nss/${name})
    file(WRITE ${nss}/passwd "${user}:x:${uid}:${gid}:${user}:${home}:/bin/sh\n")
    file(WRITE ${nss}/group "${group}:x:${gid}:\n")

    set(preload ${ENV_NSS_WRAPPER_LIBRARY})
    if(ENV_SANITIZE)
        # ASan insists on coming first among the preloaded libraries.
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
            OUTPUT_VARIABLE asan OUTPUT_STRIP_TRAILING_WHITESPACE)
        set(preload "${asan}:${preload}")
    endif()
    set(${outvar} "LD_PRELOAD=${preload};NSS_WRAPPER_PASSWD=${nss}/passwd;NSS_WRAPPER_GROUP=${nss}/group"
        PARENT_SCOPE)
endfunction()
