// Which CRTC an encoder drives at start: the first lit one it can reach, or the one the topology
// names for it.
#include <fcntl.h>
#include <unistd.h>

#include <drm_fourcc.h>
#include <gtest/gtest.h>
#include <xf86drmMode.h>

#include "sim/sim.h"
#include "tests/support/card.h"

namespace
{

sim::topology two_lit_crtcs(std::optional<int> encoder_crtc)
{
	sim::topology t =
	        lit_hdmi_card({test_mode(640, 480)},
	                      {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888}, 0x3)});
	t.connectors[0].bound_encoder.reset();
	t.encoders = {{.possible_crtcs = 0x3, .crtc = encoder_crtc}};
	t.crtcs.push_back(t.crtcs[0]);
	return t;
}

uint32_t encoder_crtc_seen_by_libdrm()
{
	int fd = open("/dev/dri/card0", O_RDWR);
	EXPECT_GE(fd, 0);
	drmModeEncoder *enc = drmModeGetEncoder(fd, sim::encoder_id(0));
	uint32_t crtc = enc ? enc->crtc_id : ~0u;
	drmModeFreeEncoder(enc);
	close(fd);
	return crtc;
}

TEST(card_binding, encoder_drives_the_first_lit_crtc_it_can_reach_or_the_one_named)
{
	sim::install(two_lit_crtcs(std::nullopt));
	EXPECT_EQ(encoder_crtc_seen_by_libdrm(), sim::crtc_id(0));
	EXPECT_EQ(sim::property_value(sim::connector_id(0), "CRTC_ID"), sim::crtc_id(0));

	sim::install(two_lit_crtcs(1));
	EXPECT_EQ(encoder_crtc_seen_by_libdrm(), sim::crtc_id(1));
	EXPECT_EQ(sim::property_value(sim::connector_id(0), "CRTC_ID"), sim::crtc_id(1));

	sim::install(two_lit_crtcs(-1));
	EXPECT_EQ(encoder_crtc_seen_by_libdrm(), 0u);
	EXPECT_EQ(sim::property_value(sim::connector_id(0), "CRTC_ID"), 0u);
	sim::install(sim::topology{});
}

} // namespace
