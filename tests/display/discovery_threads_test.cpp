#include <atomic>
#include <thread>
#include <vector>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "display/display.h"
#include "sim/sim.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"
#include "tests/support/wait.h"

namespace
{

sim::topology hdmi_card()
{
	return lit_hdmi_card({test_mode(1920, 1080), test_mode(1280, 720, false)},
	                     {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888})});
}

// Readers on other threads keep reading the chosen connector and encoder while the main thread
// chooses them again and again; no reader may ever see a released record.
TEST(DisplayThreads, ReadersNeverSeeAReleasedRecordDuringRedetection)
{
	install_card(hdmi_card());
	int fd = open_atomic_card();
	ASSERT_TRUE(drm_load_resources(fd));
	output_capture cap;
	ASSERT_TRUE(drm_get_connector(fd));
	ASSERT_TRUE(drm_find_encoder(fd));

	std::atomic<bool> stop{false};
	std::atomic<long> reads{0};
	std::atomic<long> bad{0};
	std::vector<std::thread> readers;
	for (int r = 0; r < 3; r++) {
		readers.emplace_back([&] {
			while (!stop.load()) {
				auto conn = g_drm_connector.get();
				auto enc = g_drm_encoder.get();
				if (conn &&
				    (conn->count_modes != 2 || conn->modes[1].hdisplay != 1280))
					bad++;
				if (enc && enc->encoder_id != sim::encoder_id(0))
					bad++;
				uint32_t pipe = 7;
				crtc_holder crtc = get_encoder_crtc(fd, &pipe);
				if (crtc && pipe != 0)
					bad++;
				reads++;
			}
		});
	}
	for (int i = 0; i < 200; i++)
		drm_redetect_display(fd);
	EXPECT_TRUE(wait_until([&] { return reads.load() >= 1000; })) << "the readers stopped";
	stop = true;
	for (auto &t : readers)
		t.join();
	cap.stop();
	EXPECT_EQ(bad.load(), 0);
	EXPECT_TRUE(g_drm_connector);
	EXPECT_TRUE(g_drm_encoder);
	install_card(sim::topology{});
}

} // namespace
