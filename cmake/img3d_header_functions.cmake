# img3d_header_functions(<header> <out-var>): the names of the C functions the
# public header declares, in declaration order.  Shared by the export checks
# (script mode) and by the test that looks every function up in the DLL.
function(img3d_header_functions header out_var)
  file(READ ${header} text)
  string(REGEX MATCHALL "IMG3D_API [^;({]*[ *]([A-Za-z0-9_]+)\\(" decls "${text}")
  set(names)
  foreach(decl IN LISTS decls)
    string(REGEX REPLACE ".*[ *]([A-Za-z0-9_]+)\\($" "\\1" fn "${decl}")
    list(APPEND names ${fn})
  endforeach()
  list(LENGTH names count)
  if(count LESS 20)
    message(FATAL_ERROR "found only ${count} functions in ${header}")
  endif()
  set(${out_var} ${names} PARENT_SCOPE)
endfunction()
