# Cross build for AArch64 Linux (glibc) on a Debian host with the arm64 architecture added
# (scripts/deps-aarch64): the cross compiler from g++-aarch64-linux-gnu, the arm64 libraries and
# headers installed beside the host's ones (multiarch), and qemu-user to run the tests.
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# ctest and gtest_discover_tests run every test program through this. "-L /" and not
# "-L /usr/aarch64-linux-gnu": the arm64 libraries come from the multiarch directories under /,
# and mixing the cross toolchain's C library with those makes the first pthread_create hang.
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-aarch64;-L;/")

# Plain pkg-config would hand out the host's libdrm; this one reads only the arm64 .pc files.
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")

# Host programs (code generators, tools) come from the host; libraries, headers and CMake
# package files only from the target's directories. The multiarch layout keeps both under /,
# so the host's architecture directories are ignored outright.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_IGNORE_PREFIX_PATH "")
foreach(host_dir /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/include/x86_64-linux-gnu
	/usr/lib/x86_64-linux-gnu/cmake)
	list(APPEND CMAKE_IGNORE_PATH ${host_dir})
endforeach()
