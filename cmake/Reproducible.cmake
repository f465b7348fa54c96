# Release builds are reproducible: one commit built in any two folders gives the
# same bytes. No build path enters the objects, no link time enters the image.
set(_relayhive_release "$<AND:$<CONFIG:Release>,$<COMPILE_LANGUAGE:CXX>>")
add_compile_options(
  "$<${_relayhive_release}:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
  "$<${_relayhive_release}:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
if(WIN32)
  # The COFF time stamp (and the PE checksum computed over it) would differ per link.
  add_link_options(-Wl,--no-insert-timestamp)
else()
  # The build id is a hash of the image itself, so it is the same for the same bytes.
  add_link_options("$<$<CONFIG:Release>:-Wl,--build-id=sha1>")
endif()
