# player_bench: the animation player on the virtual card, 30 frames of 1920x1080 at mFps 0,
# against the decode alone, and the DRM requests of one present_frame.
if(TARGET bootanim_animation AND TARGET simkms AND TARGET bootanim_test_support)
	add_executable(player_bench ${CMAKE_CURRENT_LIST_DIR}/player_bench.cpp)
	target_link_libraries(player_bench PRIVATE bootanim_animation bootanim_test_support simkms
		benchmark::benchmark)
	# The player's own cost per frame leaves out the time inside these (see own_ms).
	target_link_options(player_bench PRIVATE -Wl,--wrap=_Z9bo_createijjjPb
		-Wl,--wrap=_Z10bo_releaseP2bo -Wl,--wrap=_Z14jpeg_sf_decodePKcP2bo
		-Wl,--wrap=_Z22jpeg_sf_decode_centredPKcP2bo)
endif()
