# nifti_clib's libnifti2 (NIfTI-1 and NIfTI-2) and zlib as one interface
# target, img3d_nifti, for the tool's volume files.  Debian's
# NIFTIConfig.cmake names library paths that do not exist: look for the
# header and the libraries directly.  Sets IMG3D_NIFTI_FOUND.
if(TARGET img3d_nifti)
  set(IMG3D_NIFTI_FOUND TRUE)
  return()
endif()
find_path(NIFTI_INCLUDE_DIR nifti2_io.h PATH_SUFFIXES nifti)
find_library(NIFTI2_LIBRARY nifti2)
find_library(NIFTI_ZNZ_LIBRARY znz)
find_package(ZLIB QUIET)
if(NIFTI_INCLUDE_DIR AND NIFTI2_LIBRARY AND NIFTI_ZNZ_LIBRARY AND ZLIB_FOUND)
  add_library(img3d_nifti INTERFACE)
  target_include_directories(img3d_nifti INTERFACE ${NIFTI_INCLUDE_DIR})
  target_link_libraries(img3d_nifti INTERFACE ${NIFTI2_LIBRARY} ${NIFTI_ZNZ_LIBRARY} ZLIB::ZLIB m)
  set(IMG3D_NIFTI_FOUND TRUE)
else()
  set(IMG3D_NIFTI_FOUND FALSE)
endif()
