# Cross toolchain for the target build: 32-bit Windows kernel-mode drivers
# compiled by mingw-w64 (Debian package g++-mingw-w64-i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VCP_TOOL_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VCP_TOOL_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VCP_TOOL_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${VCP_TOOL_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VCP_TOOL_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The compiler checks only compile: nothing here links against the user-mode
# C runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
