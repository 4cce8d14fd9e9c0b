# Adds every immediate subfolder of the current folder that has a
# CMakeLists.txt. Used where several groups of tests or targets live
# side by side under one folder.
file(GLOB qf_subdirs LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
foreach(sub IN LISTS qf_subdirs)
  if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${sub} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/CMakeLists.txt)
    add_subdirectory(${sub})
  endif()
endforeach()
