# drivoro_extra_authority(TARGET PEM_FILE): compiles PEM_FILE's certificates into TARGET as
# builtInExtraAuthority() (app/built_in_authority.h); with an empty PEM_FILE it returns nothing.
# The certificates are read when the build is configured, and again whenever the file changes.
function(drivoro_extra_authority target pem_file)
    set(DRIVORO_EXTRA_AUTHORITY_PEM "")
    if(NOT pem_file STREQUAL "")
        if(WIN32)
            # Schannel would trust the given authority alone, in place of Windows' own.
            message(FATAL_ERROR "An extra authority (${pem_file}) is for the Linux demonstration only")
        endif()
        get_filename_component(pem_file "${pem_file}" ABSOLUTE)
        if(NOT EXISTS "${pem_file}")
            message(FATAL_ERROR "The extra authority ${pem_file} does not exist")
        endif()
        file(READ "${pem_file}" pem)
        if(NOT pem MATCHES "-----BEGIN CERTIFICATE-----" OR pem MATCHES "PRIVATE KEY" OR
           pem MATCHES "\\)pem\"")
            message(FATAL_ERROR "${pem_file} must hold PEM certificates and nothing else")
        endif()
        set(DRIVORO_EXTRA_AUTHORITY_PEM "${pem}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pem_file}")
        message(STATUS "${target}: built-in extra authority ${pem_file}")
    endif()
    set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}_built_in_authority.cpp")
    configure_file("${PROJECT_SOURCE_DIR}/cmake/built_in_authority.cpp.in" "${source}" @ONLY)
    target_sources(${target} PRIVATE "${source}")
endfunction()
