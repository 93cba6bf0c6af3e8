# Install-time part of the wardlog pkg-config file: run from the install
# script, where CMAKE_INSTALL_PREFIX is the prefix really installed to (it
# may differ from the configured one: cmake --install --prefix DIR).
# Expects VEM_PC_TEMPLATE, VEM_PC_OUT, VEM_PC_LIBDIR_REL, VEM_PC_INCLUDEDIR_REL
# and VEM_PC_VERSION.
foreach(_kind LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${VEM_PC_${_kind}_REL}")
        set(VEM_PC_${_kind} "${VEM_PC_${_kind}_REL}")
    else()
        set(VEM_PC_${_kind} "${CMAKE_INSTALL_PREFIX}/${VEM_PC_${_kind}_REL}")
    endif()
endforeach()
set(VEM_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
configure_file("${VEM_PC_TEMPLATE}" "${VEM_PC_OUT}" @ONLY)
file(INSTALL DESTINATION "${VEM_PC_LIBDIR}/pkgconfig" TYPE FILE FILES "${VEM_PC_OUT}")
