# Where an installation puts what we build, and how the installed files find one another.
#
# Programs go to CMAKE_INSTALL_BINDIR. The shared libraries and modules they load (the platform
# layer, the controls, the providers and the providers' private token builds) go to
# KORVAN_INSTALL_MODULEDIR. The token libraries go where p11-kit looks for modules
# (SOFTTOKEN_MODULE_INSTALL_DIR), with a p11-kit module file each.
#
# Every ELF file installed with korvan_install() runs with a run path to the module folder,
# written relative to its own folder ($ORIGIN), so an installation works wherever its prefix is,
# and to the token module folder, since the controls and the manager load token libraries by
# name. The build tree keeps its own run paths: everything there sits in one folder.
include(GNUInstallDirs)

set(KORVAN_INSTALL_MODULEDIR "${CMAKE_INSTALL_LIBDIR}/korvanng" CACHE STRING
    "Folder for the programs' shared libraries and modules (relative to the prefix, or absolute)")

pkg_get_variable(SOFTTOKEN_PC_MODULE_DIR p11-kit-1 p11_module_path)
pkg_get_variable(SOFTTOKEN_PC_CONFIG_DIR p11-kit-1 p11_module_configs)
if(NOT SOFTTOKEN_PC_MODULE_DIR)
    set(SOFTTOKEN_PC_MODULE_DIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkcs11)
endif()
if(NOT SOFTTOKEN_PC_CONFIG_DIR)
    set(SOFTTOKEN_PC_CONFIG_DIR ${CMAKE_INSTALL_FULL_DATADIR}/p11-kit/modules)
endif()
set(SOFTTOKEN_MODULE_INSTALL_DIR ${SOFTTOKEN_PC_MODULE_DIR} CACHE PATH
    "Folder the PKCS#11 modules are installed into (p11-kit's p11_module_path)")
set(SOFTTOKEN_P11KIT_CONFIG_DIR ${SOFTTOKEN_PC_CONFIG_DIR} CACHE PATH
    "Folder for the p11-kit module files (p11-kit's p11_module_configs)")

# _korvan_run_path_entry(<out> <from> <to>): how a file installed in folder <from> names folder
# <to> in its run path. Both are relative to the prefix or absolute; a relative one stays
# relative to whatever prefix the installation is given.
function(_korvan_run_path_entry out from to)
    if(IS_ABSOLUTE "${to}" AND NOT IS_ABSOLUTE "${from}")
        # The prefix is only known at install time, so no relative path reaches <to>.
        set(${out} "${to}" PARENT_SCOPE)
        return()
    endif()
    if(NOT IS_ABSOLUTE "${from}" OR NOT IS_ABSOLUTE "${to}")
        # One relative to the prefix: relate them as if the prefix were the configured one.
        foreach(name from to)
            if(NOT IS_ABSOLUTE "${${name}}")
                set(${name} "${CMAKE_INSTALL_PREFIX}/${${name}}")
            endif()
        endforeach()
    endif()
    file(RELATIVE_PATH relative "${from}" "${to}")
    if(relative STREQUAL "")
        set(${out} "$ORIGIN" PARENT_SCOPE)
    else()
        set(${out} "$ORIGIN/${relative}" PARENT_SCOPE)
    endif()
endfunction()

# korvan_install(<target>...): installs programs to CMAKE_INSTALL_BINDIR and shared libraries
# and modules to KORVAN_INSTALL_MODULEDIR, each with the run path described above. Targets that
# the current configuration does not build (KORVAN_SKIP_DIRS) are passed over.
function(korvan_install)
    foreach(target IN LISTS ARGN)
        if(NOT TARGET ${target})
            continue()
        endif()
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "EXECUTABLE")
            set(destination "${CMAKE_INSTALL_BINDIR}")
        elseif(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
            set(destination "${KORVAN_INSTALL_MODULEDIR}")
        else()
            message(FATAL_ERROR "korvan_install(${target}): a ${type} is not installed; "
                "only programs, shared libraries and modules are")
        endif()
        set(run_path "")
        foreach(folder "${KORVAN_INSTALL_MODULEDIR}" "${SOFTTOKEN_MODULE_INSTALL_DIR}")
            _korvan_run_path_entry(entry "${destination}" "${folder}")
            list(APPEND run_path "${entry}")
        endforeach()
        list(REMOVE_DUPLICATES run_path)
        set_target_properties(${target} PROPERTIES INSTALL_RPATH "${run_path}")
        install(TARGETS ${target}
            RUNTIME DESTINATION "${destination}"
            LIBRARY DESTINATION "${destination}")
    endforeach()
endfunction()

# korvan_install_register_script(): installs scripts/register.sh as korvan-register, its module
# folder rewritten to the configured one as seen from the bin folder.
function(korvan_install_register_script)
    set(source ${CMAKE_SOURCE_DIR}/scripts/register.sh)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    _korvan_run_path_entry(entry "${CMAKE_INSTALL_BINDIR}" "${KORVAN_INSTALL_MODULEDIR}")
    string(REGEX REPLACE "^\\$ORIGIN/?" "" folder "${entry}")
    if(folder STREQUAL "")
        set(folder ".")
    endif()
    if(folder MATCHES "['\n]")
        message(FATAL_ERROR "KORVAN_INSTALL_MODULEDIR must not hold a quote or a line break")
    endif()
    file(READ ${source} text)
    string(FIND "${text}" "\nmodule_dir='" line)
    if(line EQUAL -1)
        message(FATAL_ERROR "${source} no longer sets module_dir; korvan-register cannot be made")
    endif()
    string(REGEX REPLACE "\nmodule_dir='[^\n]*'\n" "\nmodule_dir='${folder}'\n" text "${text}")
    _korvan_write_if_changed(${CMAKE_BINARY_DIR}/scripts/korvan-register "${text}")
    install(PROGRAMS ${CMAKE_BINARY_DIR}/scripts/korvan-register DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
