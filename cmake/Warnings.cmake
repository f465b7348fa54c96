# Warnings are errors on every compiler this project builds with.
function(relayhive_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
