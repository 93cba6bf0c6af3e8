# Last step of a real install: make the installed programs find the suite's
# shared libraries with no help from the environment.  The installed
# programs carry no RUNPATH (a build-tree path is useless, an absolute one
# would go stale with cmake --install --prefix), so the dynamic linker must
# know the library directory: refresh its cache, and if the directory is not
# one it searches (a prefix such as /opt/kvrs), add it in /etc/ld.so.conf.d.
# With DESTDIR (a staging tree for a package) nothing is done: the package
# manager's own ldconfig trigger does it on the target.
# Expects VEM_LIBDIR_REL (CMAKE_INSTALL_LIBDIR as configured).
if(IS_ABSOLUTE "${VEM_LIBDIR_REL}")
    set(_libdir "${VEM_LIBDIR_REL}")
else()
    set(_libdir "${CMAKE_INSTALL_PREFIX}/${VEM_LIBDIR_REL}")
endif()
if(NOT "$ENV{DESTDIR}" STREQUAL "")
    message(STATUS "DESTDIR install: linker cache left to the package's ldconfig trigger")
    return()
endif()
find_program(_ldconfig ldconfig PATHS /sbin /usr/sbin NO_CACHE)
execute_process(COMMAND id -u OUTPUT_VARIABLE _uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT _uid STREQUAL "0" OR NOT _ldconfig)
    message(WARNING "Not root (or no ldconfig): the linker cache was not refreshed; run "
                    "ldconfig as root before CUPS runs the filter")
    return()
endif()

function(_vem_cached out)
    execute_process(COMMAND "${_ldconfig}" RESULT_VARIABLE rc)
    execute_process(COMMAND "${_ldconfig}" -p OUTPUT_VARIABLE cache)
    string(FIND "${cache}" "=> ${_libdir}/libwardlog.so.0\n" at)
    if(rc EQUAL 0 AND NOT at EQUAL -1)
        set(${out} TRUE PARENT_SCOPE)
    else()
        set(${out} FALSE PARENT_SCOPE)
    endif()
endfunction()

_vem_cached(_found)
if(NOT _found)
    set(_conf "${CMAKE_CURRENT_BINARY_DIR}/kvrs-drivers.conf")
    file(WRITE "${_conf}" "# KVRS receipt printer drivers: libwardlog and friends\n${_libdir}\n")
    file(INSTALL DESTINATION /etc/ld.so.conf.d TYPE FILE FILES "${_conf}")
    _vem_cached(_found)
endif()
if(_found)
    message(STATUS "Linker cache refreshed: libwardlog.so.0 found in ${_libdir}")
else()
    message(WARNING "ldconfig does not list ${_libdir}/libwardlog.so.0; CUPS will not start the filter")
endif()
