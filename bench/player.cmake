# player_bench: the animation player on the virtual card, 30 frames of 1920x1080 at mFps 0,
# against the decode alone, and the DRM requests of one present_frame.
if(TARGET bootanim_animation AND TARGET simkms AND TARGET bootanim_test_support)
	add_executable(player_bench ${CMAKE_CURRENT_LIST_DIR}/player_bench.cpp)
	target_link_libraries(player_bench PRIVATE bootanim_animation bootanim_test_support simkms
		benchmark::benchmark)
endif()
