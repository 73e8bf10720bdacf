# whole_program_bench: the real bootanim under the virtual card in private namespaces: time from
# start to the first 1920x1080 frame, peak resident memory of a 100-frame run, idle CPU per minute.
add_executable(whole_program_bench ${CMAKE_CURRENT_LIST_DIR}/whole_program_bench.cpp)
target_link_libraries(whole_program_bench PRIVATE bootanim_player_harness benchmark::benchmark)
target_compile_definitions(whole_program_bench PRIVATE
	BOOTANIM_PATH="$<TARGET_FILE:bootanim>"
	SIMKMS_PRELOAD_PATH="$<TARGET_FILE:simkms_preload>"
	MAKE_FRAMES_PATH="$<TARGET_FILE:make_frames>")
add_dependencies(whole_program_bench bootanim simkms_preload make_frames)
