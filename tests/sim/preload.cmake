# Tests that run programs under the LD_PRELOAD card need the card library, the probe and the
# control client built, and their paths.
foreach(t sim_preload_channel_test sim_preload_threads_test sim_preset_probe_test)
	if(TARGET ${t} AND TARGET simkms_preload AND TARGET simkms-probe)
		target_compile_definitions(${t} PRIVATE
			SIMKMS_PROBE_PATH="$<TARGET_FILE:simkms-probe>"
			SIMKMS_CTL_PATH="$<TARGET_FILE:simkms-ctl>")
		add_dependencies(${t} simkms_preload simkms-probe simkms-ctl)
		# GCC 12 warns inside <regex> when it inlines under the sanitizers (a false positive).
		target_compile_options(${t} PRIVATE -Wno-maybe-uninitialized)
	endif()
endforeach()
