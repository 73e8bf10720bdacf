# The test that holds the driver presets to what the kernel's drivers reported reads the reports
# from tests/sim/kernel-probes.
if(TARGET sim_preset_probe_test)
	target_compile_definitions(sim_preset_probe_test PRIVATE
		SIMKMS_PROBE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/kernel-probes")
endif()
