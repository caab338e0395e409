# One interface target carries the project's compile flags; every target links it.
add_library(halv_flags INTERFACE)
target_compile_options(halv_flags INTERFACE -Wall -Wextra -Werror)
target_include_directories(halv_flags INTERFACE ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(halv_flags INTERFACE BOOST_ASIO_NO_DEPRECATED)

if(HALV_SANITIZER STREQUAL "address")
  set(_halv_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(HALV_SANITIZER STREQUAL "thread")
  set(_halv_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(HALV_SANITIZER)
  message(FATAL_ERROR "Unknown HALV_SANITIZER '${HALV_SANITIZER}'")
endif()
if(_halv_san)
  target_compile_options(halv_flags INTERFACE ${_halv_san})
  target_link_options(halv_flags INTERFACE ${_halv_san})
endif()

# Debian's hardening flags (dpkg-buildflags with every hardening feature) in builds that may be
# packaged: fortified functions, the stack protector, format checks, full RELRO and bind-now.
# Optimisation, debug information and file-prefix maps stay the build type's, so that objects
# stay the same wherever the checkout lies and ccache shares them. Sanitizer and fuzz builds are
# never packaged and keep their own instrumentation.
if(NOT HALV_SANITIZER AND NOT HALV_BUILD_FUZZ)
  find_program(HALV_DPKG_BUILDFLAGS dpkg-buildflags)
  if(HALV_DPKG_BUILDFLAGS)
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
      execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                              ${HALV_DPKG_BUILDFLAGS} --get ${kind}
                      OUTPUT_VARIABLE _halv_flags OUTPUT_STRIP_TRAILING_WHITESPACE)
      separate_arguments(_halv_flags UNIX_COMMAND "${_halv_flags}")
      list(FILTER _halv_flags EXCLUDE REGEX "^(-g|-O[0-9sg]?|-ffile-prefix-map=.*)$")
      if(kind STREQUAL "LDFLAGS")
        target_link_options(halv_flags INTERFACE ${_halv_flags})
      else()
        target_compile_options(halv_flags INTERFACE ${_halv_flags})
      endif()
    endforeach()
  endif()
endif()
