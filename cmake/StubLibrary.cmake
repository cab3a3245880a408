# The recorder's libraries and what they offer, from one list
# (cmake/recorder_libc.list): "[SONAME]" opens a library's section, then
# symbol names; "#" starts a comment.
set(VX_RECORDER_LIBS ${CMAKE_SOURCE_DIR}/cmake/recorder_libc.list)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VX_RECORDER_LIBS})

# The symbols of library `soname` (all libraries when empty) into `out`.
function(vx_recorder_symbols soname out)
  file(READ ${VX_RECORDER_LIBS} text)
  string(REGEX REPLACE "#[^\n]*" "" text "${text}")
  string(REGEX MATCHALL "\\[[^]]*\\]|[A-Za-z_0-9]+" tokens "${text}")
  set(section "")
  set(symbols "")
  foreach(t IN LISTS tokens)
    if(t MATCHES "^\\[(.*)\\]$")
      set(section ${CMAKE_MATCH_1})
    elseif(soname STREQUAL "" OR section STREQUAL soname)
      list(APPEND symbols ${t})
    endif()
  endforeach()
  set(${out} ${symbols} PARENT_SCOPE)
endfunction()

# Link-time stand-in for one of the recorder's libraries: a shared object
# with the recorder's SONAME that defines every listed symbol and nothing else.
function(vx_stub_library target soname)
  vx_recorder_symbols(${soname} symbols)
  set(src "/* generated from ${VX_RECORDER_LIBS} */\n")
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

# The same list as C++ string literals, for the simulator's import check.
function(vx_recorder_symbols_header path)
  vx_recorder_symbols("" symbols)
  set(src "// generated from ${VX_RECORDER_LIBS}\n")
  foreach(s IN LISTS symbols)
    string(APPEND src "\"${s}\",\n")
  endforeach()
  file(WRITE ${path}.in "${src}")
  configure_file(${path}.in ${path} COPYONLY)
endfunction()
