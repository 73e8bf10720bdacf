# The image writers are checked with libpng's reader.
if(TARGET sim_image_io_test)
	target_link_libraries(sim_image_io_test PRIVATE PkgConfig::LIBPNG)
endif()
