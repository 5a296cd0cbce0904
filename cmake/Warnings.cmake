# Warnings are errors on everything we write; third-party code is left alone.
function(dvx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wconversion -Wshadow -Werror)
endfunction()
