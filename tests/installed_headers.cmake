# Installs the build into a fresh prefix and compiles each installed public header alone, with
# only that prefix on the include path: a header must include what it uses and name no header
# that is not installed.
#   cmake -DBUILD_DIR=<build tree> -DPREFIX=<scratch folder> -DCXX=<compiler> -P installed_headers.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE output)
if(result)
  message(FATAL_ERROR "cmake --install failed:\n${output}")
endif()
file(GLOB headers RELATIVE ${PREFIX}/include ${PREFIX}/include/quillkit/*.hpp)
if(NOT headers)
  message(FATAL_ERROR "no header installed in ${PREFIX}/include/quillkit")
endif()
# One compiler per header, all at once (execute_process runs its commands side by side); the
# ones that fail run again alone to show why.
set(compiles "")
foreach(header IN LISTS headers)
  string(MAKE_C_IDENTIFIER ${header} unit)
  file(WRITE ${PREFIX}/units/${unit}.cpp "#include <${header}>\n")
  list(APPEND compiles COMMAND ${CXX} -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror
    -I${PREFIX}/include ${PREFIX}/units/${unit}.cpp)
endforeach()
execute_process(${compiles} RESULTS_VARIABLE results OUTPUT_QUIET ERROR_QUIET)
set(failed "")
foreach(header result IN ZIP_LISTS headers results)
  if(NOT result EQUAL 0)
    list(APPEND failed ${header})
    string(MAKE_C_IDENTIFIER ${header} unit)
    execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror
      -I${PREFIX}/include ${PREFIX}/units/${unit}.cpp ERROR_VARIABLE output OUTPUT_QUIET)
    message("${header} does not compile on its own:\n${output}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "headers that do not compile on their own: ${failed}")
endif()
file(REMOVE_RECURSE ${PREFIX})
