# The PE image every .exe of ours shares: a console program for 64-bit Windows 6.0 and later,
# whose only manifest is the one its resource script embeds.
function(windows_console_image target)
  target_compile_definitions(${target} PRIVATE
    _WIN32_WINNT=0x0600 WINVER=0x0600 UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  if(MSVC)
    # Untested here: the Visual Studio equivalents of the mingw toolchain's image settings.
    target_link_options(${target} PRIVATE /SUBSYSTEM:CONSOLE,6.00 /MANIFEST:NO /Brepro)
    set_property(TARGET ${target} PROPERTY MSVC_RUNTIME_LIBRARY "MultiThreaded")
  endif()
  finish_windows_image(${target})
endfunction()

# Where the toolchain's linker cannot leave the timestamp out or set the checksum (Zig's, for
# ARM64: cmake/toolchain-zig-aarch64.cmake), every linked image is finished by tools/pe-finish.
function(finish_windows_image target)
  if(ARM64_FINISH_IMAGE)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/tools/pe-finish $<TARGET_FILE:${target}> VERBATIM)
  endif()
endfunction()
