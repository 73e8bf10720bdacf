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

# These start a second program built for the target (the card's LD_PRELOAD library under a
# child, the probe, the control client): without binfmt_misc (not there in containers) an AArch64
# program under qemu-user cannot execute another one.
if(TARGET simkms_preload AND TARGET simkms-probe)
	bootanim_native_only(sim_preload_channel_test sim "^preload_")
	bootanim_native_only(sim_preload_threads_test threads "^preload_threads\\.")
	bootanim_native_only(sim_preset_probe_test sim "^kernel/probe_on_preset\\.")
endif()
