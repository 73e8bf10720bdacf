// Hot-plugs on one thread while the vsync worker cycles and plays and other threads read the
// chosen connector and encoder: the re-detection never leaves a reader with a released record.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "animation/boot_config.h"
#include "display/display.h"
#include "hotplug/hotplug.h"
#include "sim/sim.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"
#include "tests/support/jpeg_file.h"
#include "tests/support/wait.h"
#include "vsync/vsync.h"

namespace
{

TEST(HotplugThreads, RedetectionWhileTheWorkerAndReadersUseConnectorAndEncoder)
{
	std::string dir = make_temp_dir();
	ASSERT_FALSE(dir.empty());
	for (int k = 0; k < 2; k++)
		ASSERT_TRUE(write_jpeg(dir + "/" + std::to_string(k) + ".jpg",
		                       test_picture(32, 24, k)));
	// An HDMI monitor with three modes lit on the first CRTC, as at boot.
	install_card(lit_hdmi_card(
	        {test_mode(320, 240), test_mode(160, 120, false), test_mode(64, 48, false)},
	        {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888}),
	         test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_XRGB8888})}));
	int fd = -1;
	ASSERT_TRUE(open_and_discover(&fd));
	output_capture cap;

	ASSERT_EQ(start_boot_thread(fd), 0);
	// The worker waits disabled; it reads the configuration only once enabled.
	snprintf(mBootAnimPath, sizeof mBootAnimPath, "%s", dir.c_str());
	mImageCount = 2;
	mFps = 500;
	vsync_control(1);

	std::atomic<bool> stop{false};
	std::atomic<long> reads{0}, bad{0};
	std::vector<std::thread> readers;
	for (int r = 0; r < 2; r++)
		readers.emplace_back([&] {
			while (!stop.load()) {
				auto conn = g_drm_connector.get();
				if (conn &&
				    (conn->count_modes != 3 || conn->modes[2].hdisplay != 64 ||
				     conn->connector_id != sim::connector_id(0)))
					bad++;
				auto enc = g_drm_encoder.get();
				if (enc && enc->encoder_id != sim::encoder_id(0))
					bad++;
				uint32_t pipe = 9;
				crtc_holder crtc = get_encoder_crtc(fd, &pipe);
				if (crtc && pipe != 0)
					bad++;
				reads++;
			}
		});

	// Each re-detection waits for the readers to have read the records some more times, so
	// that every replacement meets readers at work.
	auto readers_go_on = [&] {
		const long from = reads.load();
		return wait_until([&] { return reads.load() >= from + 20; });
	};
	for (int i = 0; i < 30; i++) {
		modeid = i % 3;
		handle_hotplug(fd);
		if (i % 5 == 4) {
			sim::set_connected(0, false);
			handle_hotplug(fd);
			sim::set_connected(0, true);
		}
		if (!readers_go_on()) {
			ADD_FAILURE() << "the readers stopped at hot-plug " << i;
			break;
		}
	}
	modeid = 0;
	handle_hotplug(fd);
	// The worker plays after the last re-detection's vsync_control(1) at the latest.
	auto played = [] {
		for (const auto &c : sim::commits())
			for (const auto &p : c.props)
				if (p.name == "FB_ID" && p.value != 0)
					return true;
		return false;
	};
	EXPECT_TRUE(wait_until(played)) << "the worker never played";
	EXPECT_TRUE(readers_go_on());
	stop = true;
	for (auto &t : readers)
		t.join();
	release_boot_resources();
	cap.stop();

	EXPECT_EQ(bad.load(), 0);
	auto conn = g_drm_connector.get();
	auto enc = g_drm_encoder.get();
	ASSERT_TRUE(conn && enc);
	EXPECT_EQ(conn->connector_id, sim::connector_id(0));
	EXPECT_EQ(enc->crtc_id, sim::crtc_id(0));
	EXPECT_EQ(sim::live().blobs, 1);
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 1u);

	conn.reset();
	enc.reset();
	install_card(sim::topology{});
	remove_tree(dir);
}

} // namespace
