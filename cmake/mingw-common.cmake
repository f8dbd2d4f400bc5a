# Shared part of the mingw-w64 toolchain files; they set MIRTO_TARGET_TRIPLE and the processor
# first. The win32 thread model (Debian's default) keeps the DLL free of runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MIRTO_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MIRTO_TARGET_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${MIRTO_TARGET_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MIRTO_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Prebuilt Windows packages (such as a mirto release) are found where CMAKE_PREFIX_PATH says.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
