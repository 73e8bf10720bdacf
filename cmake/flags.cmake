# Compiler flags shared by every target of the project.

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
	# The normal build: optimised with debug information.
	set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O2 -g")
set(CMAKE_C_FLAGS_RELWITHDEBINFO "-O2 -g")

option(BOOTANIM_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(BOOTANIM_TSAN "Build with ThreadSanitizer" OFF)
option(BOOTANIM_WERROR "Treat warnings as errors" OFF)

if(BOOTANIM_SANITIZE AND BOOTANIM_TSAN)
	message(FATAL_ERROR "BOOTANIM_SANITIZE and BOOTANIM_TSAN exclude each other")
endif()

# 64-bit file offsets on 32-bit targets too (armhf; a no-op on 64-bit ones). A 64-bit kernel hands
# a 32-bit process dumb-buffer mmap offsets from 4 GiB up (DRM_FILE_PAGE_OFFSET_START), which a
# 32-bit off_t cuts to 0 (the map fails: every frame is lost), and its stat() of a file whose inode
# number or size needs more than 32 bits fails with EOVERFLOW. Nothing the programs pass to libdrm,
# libjpeg or libpng holds an off_t, so their interfaces stay the same.
add_compile_definitions(_FILE_OFFSET_BITS=64)

add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wundef
	$<$<COMPILE_LANGUAGE:CXX>:-Wmissing-declarations>)
if(BOOTANIM_WERROR)
	add_compile_options(-Werror)
endif()

if(BOOTANIM_SANITIZE)
	add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
		-fno-omit-frame-pointer)
	add_link_options(-fsanitize=address,undefined)
endif()
if(BOOTANIM_TSAN)
	add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
	add_link_options(-fsanitize=thread)
endif()

# Product code is built without exceptions; tests and tools may use the standard library freely.
set(BOOTANIM_PRODUCT_FLAGS -fno-exceptions)

# bootanim_library(name sources...): one subsystem library; headers are included as
# "folder/header.h" from the top of the tree.
function(bootanim_library name)
	add_library(${name} STATIC ${ARGN})
	target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
	target_compile_options(${name} PRIVATE ${BOOTANIM_PRODUCT_FLAGS})
endfunction()
