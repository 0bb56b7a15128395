# The INFs of the two driver packages, stamped with the version, in
# ${TARVIK_PACKAGE_INF_DIR} (every preset: the host tests read them too).
set(TARVIK_PACKAGE_INF_DIR ${CMAKE_BINARY_DIR}/package)
foreach(_inf Tarvik4v2 vkeybus)
  configure_file(${CMAKE_SOURCE_DIR}/package/${_inf}.inf.in ${TARVIK_PACKAGE_INF_DIR}/${_inf}.inf
                 @ONLY NEWLINE_STYLE CRLF)
endforeach()
