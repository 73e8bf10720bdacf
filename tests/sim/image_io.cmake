# The image writers are also checked with libpng's reader when the machine has it.
find_package(PNG QUIET)
if(PNG_FOUND AND TARGET sim_image_io_test)
	target_link_libraries(sim_image_io_test PRIVATE PNG::PNG)
	target_compile_definitions(sim_image_io_test PRIVATE SIMKMS_HAVE_LIBPNG)
endif()
