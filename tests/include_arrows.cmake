# cmake -DSOURCE=<checkout> -P include_arrows.cmake: the program's folders
# from the bottom of the stack up; a file includes from its own folder and
# those below it, never from one above.
set(above pci run card configfile upload app)
foreach(folder IN LISTS above)
  list(REMOVE_AT above 0)
  file(GLOB files RELATIVE "${SOURCE}" "${SOURCE}/${folder}/*")
  foreach(file IN LISTS files)
    file(STRINGS "${SOURCE}/${file}" includes REGEX "^#include \"")
    foreach(up IN LISTS above)
      if(includes MATCHES "#include \"${up}/")
        message(SEND_ERROR "${file} includes ${up}/, above it")
      endif()
    endforeach()
  endforeach()
endforeach()
