# tessel_target_options(target [NO_SANITIZE]): warnings for every target of the project, and
# the sanitizers when TESSEL_SANITIZE is on, unless the target must run without them.
function(tessel_target_options target)
  cmake_parse_arguments(ARG "NO_SANITIZE" "" "" ${ARGN})
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(TESSEL_SANITIZE AND NOT ARG_NO_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=all
                                             -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()
