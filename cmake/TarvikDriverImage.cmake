# Kernel-mode images: the link options the loader and memory integrity ask
# for, and the steps after the link.
find_program(TARVIK_PYTHON NAMES python3 REQUIRED)

# NX_COMPAT: no page is both writable and executable (memory integrity loads
# nothing else). DYNAMIC_BASE with a .reloc section: the kernel places the
# image where it likes. Stated here rather than left to the linker's defaults.
set(TARVIK_KERNEL_IMAGE_LINK_OPTIONS
    -nostdlib -nostartfiles -shared
    -Wl,--subsystem,native -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--nxcompat -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--enable-reloc-section
    -Wl,--exclude-all-symbols)

# After the link: keep the image with its symbols as NAME.unstripped.sys (the
# binary checks read routine names from it), strip the shipped NAME.sys, mark
# its INIT section discardable and write its header checksum. KEEP_CHECKSUM
# leaves the stale checksum (for a test image that must be refused).
function(tarvik_finish_kernel_image target)
  cmake_parse_arguments(ARG "KEEP_CHECKSUM" "" "" ${ARGN})
  set(_finish_args "")
  if(ARG_KEEP_CHECKSUM)
    set(_finish_args --keep-checksum)
  endif()
  set(_image $<TARGET_FILE:${target}>)
  set(_unstripped $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.unstripped.sys)
  # objcopy writes the resource section anew (its own order of the entries once
  # there is more than one type, e.g. a message table beside the version), so
  # the copy with symbols goes through objcopy too and keeps the same bytes.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy ${_image} ${_unstripped}
    COMMAND ${CMAKE_OBJCOPY} ${_unstripped}
    COMMAND ${CMAKE_OBJCOPY} --strip-all ${_image}
    COMMAND ${TARVIK_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/finish_driver.py ${_image} ${_finish_args}
    VERBATIM)
endfunction()
