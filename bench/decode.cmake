# decode_bench: the JPEG frame decoder into ordinary memory and into a dumb buffer of the virtual
# card, against a plain row-by-row loop, TurboJPEG from memory and the header probe.
pkg_check_modules(TURBOJPEG IMPORTED_TARGET libturbojpeg)
if(TURBOJPEG_FOUND)
	add_executable(decode_bench ${CMAKE_CURRENT_LIST_DIR}/decode_bench.cpp)
	target_link_libraries(decode_bench PRIVATE bootanim_decode bootanim_jpeg_file PkgConfig::TURBOJPEG
		benchmark::benchmark)
	if(TARGET bootanim_buffer)
		target_compile_definitions(decode_bench PRIVATE DECODE_BENCH_DUMB)
		target_link_libraries(decode_bench PRIVATE bootanim_buffer simkms)
	endif()
else()
	message(STATUS "decode_bench needs libturbojpeg (package libturbojpeg0-dev)")
endif()
