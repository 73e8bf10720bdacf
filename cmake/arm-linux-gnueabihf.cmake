# Cross build for 32-bit ARM Linux (glibc, hard float: armhf) on a Debian host with the armhf
# architecture added (scripts/deps-armhf): the cross compiler from g++-arm-linux-gnueabihf, the
# armhf libraries and headers installed beside the host's ones (multiarch), and qemu-user to run
# the tests.
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# ctest and gtest_discover_tests run every test program through this. "-L /" and not
# "-L /usr/arm-linux-gnueabihf": the armhf libraries come from the multiarch directories under /,
# and mixing the cross toolchain's C library with those makes the first pthread_create hang.
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-arm;-L;/")

# Plain pkg-config would hand out the host's libdrm; this one reads only the armhf .pc files.
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "pkg-config for armhf")

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
