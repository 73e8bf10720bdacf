# soak: 10,000 frames and 1,000 hot-plug cycles on a card with resident buffer memory, reporting
# resident memory, open descriptors and the card's live counters at start, middle and end. A
# shorter run is a test (label soak) that fails when they are not flat.
if(TARGET bootanim_animation AND TARGET bootanim_hotplug AND TARGET simkms)
	add_executable(soak ${CMAKE_CURRENT_LIST_DIR}/soak.cpp)
	target_link_libraries(soak PRIVATE bootanim_animation bootanim_hotplug bootanim_test_support
		simkms)
	if(BOOTANIM_TESTS)
		add_test(NAME soak_short COMMAND soak 5000 500)
		set_tests_properties(soak_short PROPERTIES LABELS soak TIMEOUT 600)
	endif()
endif()
