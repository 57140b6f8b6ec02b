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
endfunction()
