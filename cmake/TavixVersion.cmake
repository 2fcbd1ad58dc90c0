# The project's version has one home: the `version` of pyproject.toml's [project] table,
# which pip writes into the wheel's metadata. CMake reads it from there when it
# configures, and configures again when the file changes; the library reports it
# (GetLibraryVersion) and the Python module's __version__ is that same string.
#
#   tavix_read_version(<variable>)   sets <variable> to the version, such as 0.1.9
function(tavix_read_version out_var)
  get_filename_component(pyproject "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../pyproject.toml" ABSOLUTE)
  file(STRINGS "${pyproject}" version_lines REGEX "^version *= *\"[^\"]+\"")
  list(LENGTH version_lines count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "${pyproject}: expected one line `version = \"...\"`, found ${count}")
  endif()
  string(REGEX REPLACE "^version *= *\"([^\"]+)\".*$" "\\1" version "${version_lines}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pyproject}")
  set(${out_var} "${version}" PARENT_SCOPE)
endfunction()
