# Every Windows test binary runs through Wine in a private prefix inside the build tree.
set(TESSARO_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Private Wine prefix for the tests")
configure_file("${CMAKE_SOURCE_DIR}/scripts/wine-run.sh.in" "${CMAKE_BINARY_DIR}/wine-run.sh" @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_BINARY_DIR}/wine-run.sh")
