// Which CRTC an encoder drives at start: the first lit one it can reach, or the one the topology
// names for it.
#include <fcntl.h>
#include <unistd.h>

#include <drm_fourcc.h>
#include <gtest/gtest.h>
#include <xf86drmMode.h>

#include "sim/sim.h"

namespace
{

sim::topology two_lit_crtcs(std::optional<int> encoder_crtc)
{
	sim::mode_def m;
	m.hdisplay = 640;
	m.vdisplay = 480;
	m.preferred = true;
	sim::topology t;
	sim::connector_def c;
	c.modes = {m};
	c.encoders = {0};
	t.connectors = {c};
	sim::encoder_def e;
	e.possible_crtcs = 0x3;
	e.crtc = encoder_crtc;
	t.encoders = {e};
	sim::crtc_def lit;
	lit.active = true;
	lit.mode = m;
	t.crtcs = {lit, lit};
	sim::plane_def p;
	p.type = DRM_PLANE_TYPE_PRIMARY;
	p.possible_crtcs = 0x3;
	p.formats = {DRM_FORMAT_XRGB8888};
	t.planes = {p};
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
