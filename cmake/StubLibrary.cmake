# Link-time stand-ins for the recorder's libraries: a shared object with the
# recorder's SONAME that defines every listed symbol and nothing else.
function(vx_stub_library target soname listfile)
  file(READ ${listfile} text)
  string(REGEX REPLACE "#[^\n]*" "" text "${text}")
  string(REGEX MATCHALL "[A-Za-z_0-9]+" symbols "${text}")
  set(src "/* generated from ${listfile} */\n")
  foreach(s IN LISTS symbols)
    string(APPEND src "void ${s}(void) {}\n")
  endforeach()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/stubs/${target}.c)
  file(WRITE ${out}.in "${src}")
  configure_file(${out}.in ${out} COPYONLY)
  add_library(${target} SHARED ${out})
  set_target_properties(${target} PROPERTIES NO_SONAME ON OUTPUT_NAME vxstub_${target}
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/stubs)
  target_compile_options(${target} PRIVATE -fno-builtin -w)
  target_link_options(${target} PRIVATE -nostdlib -Wl,-soname,${soname})
endfunction()
