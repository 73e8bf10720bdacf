# Tests that hold the driver presets to what the kernel's drivers reported read the reports from
# tests/sim/kernel-probes.
foreach(t sim_preset_driver_test sim_preset_probe_test)
	if(TARGET ${t})
		target_compile_definitions(${t} PRIVATE
			SIMKMS_PROBE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/kernel-probes")
	endif()
endforeach()
