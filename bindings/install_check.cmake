# SPDX-License-Identifier: MIT
# Installs the dev and python components of the build into a fresh prefix and
# checks that each brought its binding, and only its own, and that Python
# imports the installed package from the site directory.
#   cmake -DBUILD=<build dir> -DPREFIX=<scratch prefix> -DSITE=<site dir>
#         -DDOTNET=<dotnet dir> [-DPYTHON=<interpreter>] -P install_check.cmake
file(REMOVE_RECURSE "${PREFIX}")

function(install_component component)
  execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --component ${component}
    --prefix "${PREFIX}/${component}" RESULT_VARIABLE failed OUTPUT_QUIET)
  if(failed)
    message(FATAL_ERROR "cmake --install --component ${component} failed")
  endif()
endfunction()

function(expect path present)
  if(present AND NOT EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "missing from the installation: ${path}")
  elseif(NOT present AND EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "installed by the wrong component: ${path}")
  endif()
endfunction()

install_component(dev)
install_component(python)
expect(dev/${DOTNET}/Tarvel.cs ON)
expect(dev/${DOTNET}/Tarvel.dll.config ON)
expect(dev/${SITE}/tarvel OFF)
expect(python/${SITE}/tarvel/__init__.py ON)
expect(python/${SITE}/tarvel/_link.py ON)
expect(python/${DOTNET}/Tarvel.cs OFF)

if(PYTHON)
  # Imported, not loaded: the library itself is not needed for this.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env "PYTHONPATH=${PREFIX}/python/${SITE}"
      PYTHONDONTWRITEBYTECODE=1 "${PYTHON}" -c "import tarvel; print(tarvel.__file__)"
    OUTPUT_VARIABLE imported OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  file(REAL_PATH "${PREFIX}/python/${SITE}/tarvel/__init__.py" expected)
  if(failed OR NOT imported STREQUAL expected)
    message(FATAL_ERROR "Python imported tarvel from \"${imported}\", not ${expected}")
  endif()
endif()
file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "dev: ${DOTNET}/Tarvel.cs; python: ${SITE}/tarvel")
