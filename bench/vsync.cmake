# vsync_bench: the vsync worker on the virtual card: its steady cost at 60 Hz once the animation
# has played (CPU time per minute, wake-ups per second), and the time from vsync_control(1) to the
# commit of the first frame for a 1920x1080 picture.
if(TARGET bootanim_vsync AND TARGET simkms AND TARGET bootanim_test_support)
	add_executable(vsync_bench ${CMAKE_CURRENT_LIST_DIR}/vsync_bench.cpp)
	target_link_libraries(vsync_bench PRIVATE bootanim_vsync bootanim_test_support simkms
		benchmark::benchmark ${CMAKE_DL_LIBS})
endif()
