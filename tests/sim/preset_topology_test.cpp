// The ready topologies: each is a card the kernel could present, and each has the shape its
// name promises.
#include <gtest/gtest.h>

#include <drm_fourcc.h>
#include <xf86drmMode.h>

#include <algorithm>
#include <set>
#include <tuple>

#include "sim/sim.h"

namespace
{

const char *const all_presets[] = {
        "hdmi-1080p",         "dp-then-hdmi", "hdmi-then-dp", "two-hdmi", "disconnected",
        "connected-no-modes", "cirrus",       "bochs",        "virtio",   "vkms"};

bool offers(const sim::plane_def &p, uint32_t format)
{
	return std::find(p.formats.begin(), p.formats.end(), format) != p.formats.end();
}

int bound_encoder(const sim::connector_def &c)
{
	if (c.bound_encoder)
		return *c.bound_encoder;
	return c.encoders.empty() ? -1 : c.encoders.front();
}

bool same_mode(const sim::mode_def &a, const sim::mode_def &b)
{
	return std::tie(a.hdisplay, a.vdisplay, a.vrefresh, a.clock) ==
	       std::tie(b.hdisplay, b.vdisplay, b.vrefresh, b.clock);
}

class every_preset : public testing::TestWithParam<const char *>
{
};

// What the kernel's mode-setting core requires of any card: valid links between objects, one
// primary plane for each CRTC, and an active CRTC driven by a connected output offering its mode.
TEST_P(every_preset, is_a_consistent_card)
{
	const std::optional<sim::topology> t = sim::preset(GetParam());
	ASSERT_TRUE(t);
	const int crtcs = int(t->crtcs.size());
	const uint32_t all_crtcs = (1u << crtcs) - 1;
	ASSERT_GE(crtcs, 1);
	ASSERT_FALSE(t->connectors.empty());
	ASSERT_FALSE(t->planes.empty());

	for (const sim::encoder_def &e : t->encoders) {
		EXPECT_NE(e.possible_crtcs, 0u);
		EXPECT_EQ(e.possible_crtcs & ~all_crtcs, 0u);
	}
	for (const sim::connector_def &c : t->connectors) {
		ASSERT_FALSE(c.encoders.empty());
		for (int e : c.encoders) {
			EXPECT_GE(e, 0);
			EXPECT_LT(e, int(t->encoders.size()));
		}
		const int bound = bound_encoder(c);
		if (bound >= 0) {
			EXPECT_NE(std::find(c.encoders.begin(), c.encoders.end(), bound),
			          c.encoders.end());
		}
		EXPECT_LE(std::count_if(c.modes.begin(), c.modes.end(),
		                        [](const sim::mode_def &m) { return m.preferred; }),
		          1);
		for (const sim::mode_def &m : c.modes) {
			EXPECT_GT(m.hdisplay, 0);
			EXPECT_GT(m.vdisplay, 0);
			EXPECT_GT(m.vrefresh, 0u);
		}
	}

	EXPECT_EQ(t->planes.front().type, uint32_t(DRM_PLANE_TYPE_PRIMARY));
	for (int i = 0; i < crtcs; i++) {
		const int primaries = int(std::count_if(
		        t->planes.begin(), t->planes.end(), [i](const sim::plane_def &p) {
			        return p.type == DRM_PLANE_TYPE_PRIMARY &&
			               (p.possible_crtcs >> i & 1);
		        }));
		EXPECT_EQ(primaries, 1) << "crtc " << i;
	}
	for (const sim::plane_def &p : t->planes) {
		EXPECT_NE(p.possible_crtcs, 0u);
		EXPECT_EQ(p.possible_crtcs & ~all_crtcs, 0u);
		EXPECT_FALSE(p.formats.empty());
	}

	for (int i = 0; i < crtcs; i++) {
		if (!t->crtcs[i].active)
			continue;
		bool driven = false;
		for (const sim::connector_def &c : t->connectors) {
			const int e = bound_encoder(c);
			if (!c.connected || e < 0 || !(t->encoders[e].possible_crtcs >> i & 1))
				continue;
			driven |= std::any_of(c.modes.begin(), c.modes.end(),
			                      [&](const sim::mode_def &m) {
				                      return same_mode(m, t->crtcs[i].mode);
			                      });
		}
		EXPECT_TRUE(driven) << "active crtc " << i << " shows no mode of a bound output";
	}
}

INSTANTIATE_TEST_SUITE_P(presets, every_preset, testing::ValuesIn(all_presets),
                         [](const testing::TestParamInfo<const char *> &p) {
	                         std::string name = p.param;
	                         std::replace(name.begin(), name.end(), '-', '_');
	                         return name;
                         });

TEST(presets, are_found_by_name_and_unknown_names_are_not)
{
	EXPECT_EQ(sim::preset("hdmi-1080p")->connectors.size(), 1u);
	EXPECT_EQ(sim::preset("two-hdmi")->crtcs.size(), 2u);
	EXPECT_EQ(sim::preset("vkms")->driver.name, "vkms");
	EXPECT_EQ(sim::preset("cirrus")->driver.name, "cirrus");
	EXPECT_FALSE(sim::preset("hdmi"));
	EXPECT_FALSE(sim::preset(""));
	EXPECT_FALSE(sim::preset("HDMI-1080P"));
}

TEST(presets, hdmi_1080p_is_one_monitor_lit_at_its_preferred_mode)
{
	const sim::topology t = sim::preset_hdmi_1080p();
	ASSERT_EQ(t.connectors.size(), 1u);
	const sim::connector_def &c = t.connectors[0];
	EXPECT_EQ(c.type, uint32_t(DRM_MODE_CONNECTOR_HDMIA));
	EXPECT_TRUE(c.connected);
	ASSERT_GE(c.modes.size(), 5u);
	EXPECT_EQ(c.modes[0].hdisplay, 1920);
	EXPECT_EQ(c.modes[0].vdisplay, 1080);
	EXPECT_EQ(c.modes[0].vrefresh, 60u);
	EXPECT_TRUE(c.modes[0].preferred);
	std::set<std::tuple<int, int, uint32_t>> sizes;
	for (const sim::mode_def &m : c.modes) {
		EXPECT_LE(m.hdisplay * m.vdisplay, 1920 * 1080);
		sizes.insert({m.hdisplay, m.vdisplay, m.vrefresh});
	}
	EXPECT_EQ(sizes.size(), c.modes.size()) << "modes repeat";

	ASSERT_EQ(t.crtcs.size(), 1u);
	EXPECT_TRUE(t.crtcs[0].active);
	EXPECT_TRUE(same_mode(t.crtcs[0].mode, c.modes[0]));
	EXPECT_EQ(bound_encoder(c), 0);
	EXPECT_TRUE(t.driver.can_scale);
	EXPECT_TRUE(t.driver.vblank);
}

// The player takes the first plane offering RG24; the generic presets make that an overlay after
// one that lacks it, and hold a cursor plane too.
TEST(presets, generic_planes_mix_overlays_with_and_without_rg24)
{
	for (const char *name : {"hdmi-1080p", "dp-then-hdmi", "hdmi-then-dp", "two-hdmi",
	                         "disconnected", "connected-no-modes"}) {
		SCOPED_TRACE(name);
		const sim::topology t = *sim::preset(name);
		EXPECT_FALSE(offers(t.planes[0], DRM_FORMAT_RGB888));
		int with = 0, without = 0, cursors = 0;
		for (const sim::plane_def &p : t.planes) {
			if (p.type == DRM_PLANE_TYPE_OVERLAY)
				(offers(p, DRM_FORMAT_RGB888) ? with : without)++;
			cursors += p.type == DRM_PLANE_TYPE_CURSOR;
		}
		EXPECT_GE(with, 1);
		EXPECT_GE(without, 1);
		EXPECT_EQ(cursors, 1);
		const auto first_rg24 = std::find_if(t.planes.begin(), t.planes.end(), [](auto &p) {
			return offers(p, DRM_FORMAT_RGB888);
		});
		ASSERT_NE(first_rg24, t.planes.end());
		EXPECT_EQ(first_rg24->type, uint32_t(DRM_PLANE_TYPE_OVERLAY));
		const auto first_overlay =
		        std::find_if(t.planes.begin(), t.planes.end(),
		                     [](auto &p) { return p.type == DRM_PLANE_TYPE_OVERLAY; });
		EXPECT_LT(first_overlay, first_rg24) << "an overlay without RG24 comes first";
	}
}

// The hot-plug handler gives the first connected HDMI-A connector a mode on CRTC 0; every
// monitor of the multi-output presets must be able to reach it.
TEST(presets, two_outputs_in_either_order)
{
	struct expect {
		const char *name;
		uint32_t first, second;
	};
	for (const expect &x :
	     {expect{"dp-then-hdmi", DRM_MODE_CONNECTOR_DisplayPort, DRM_MODE_CONNECTOR_HDMIA},
	      expect{"hdmi-then-dp", DRM_MODE_CONNECTOR_HDMIA, DRM_MODE_CONNECTOR_DisplayPort},
	      expect{"two-hdmi", DRM_MODE_CONNECTOR_HDMIA, DRM_MODE_CONNECTOR_HDMIA}}) {
		SCOPED_TRACE(x.name);
		const sim::topology t = *sim::preset(x.name);
		ASSERT_EQ(t.connectors.size(), 2u);
		EXPECT_EQ(t.connectors[0].type, x.first);
		EXPECT_EQ(t.connectors[1].type, x.second);
		ASSERT_EQ(t.crtcs.size(), 2u);
		for (const sim::connector_def &c : t.connectors) {
			EXPECT_TRUE(c.connected);
			EXPECT_FALSE(c.modes.empty());
			for (int e : c.encoders)
				EXPECT_TRUE(t.encoders[e].possible_crtcs & 1);
		}
		// Only the first HDMI-A output is lit at start, on CRTC 0.
		const int hdmi = t.connectors[0].type == DRM_MODE_CONNECTOR_HDMIA ? 0 : 1;
		EXPECT_TRUE(t.crtcs[0].active);
		EXPECT_FALSE(t.crtcs[1].active);
		EXPECT_TRUE(same_mode(t.crtcs[0].mode, t.connectors[hdmi].modes[0]));
		EXPECT_GE(bound_encoder(t.connectors[hdmi]), 0);
		EXPECT_EQ(bound_encoder(t.connectors[1 - hdmi]), -1);
	}
	EXPECT_NE(sim::preset_dp_then_hdmi().connectors[0].modes[0].hdisplay,
	          sim::preset_dp_then_hdmi().connectors[1].modes[0].hdisplay)
	        << "the two monitors are told apart by their preferred modes";
}

TEST(presets, outputs_without_a_monitor_start_dark)
{
	const sim::topology off = sim::preset_disconnected();
	ASSERT_EQ(off.connectors.size(), 1u);
	EXPECT_EQ(off.connectors[0].type, uint32_t(DRM_MODE_CONNECTOR_HDMIA));
	EXPECT_FALSE(off.connectors[0].connected);
	// The monitor's modes come back with a hot-plug that names none.
	EXPECT_GE(off.connectors[0].modes.size(), 5u);
	EXPECT_EQ(bound_encoder(off.connectors[0]), -1);

	const sim::topology empty = sim::preset_connected_no_modes();
	ASSERT_EQ(empty.connectors.size(), 1u);
	EXPECT_TRUE(empty.connectors[0].connected);
	EXPECT_TRUE(empty.connectors[0].modes.empty());
	EXPECT_EQ(bound_encoder(empty.connectors[0]), -1);

	for (const sim::topology *t : {&off, &empty})
		for (const sim::crtc_def &c : t->crtcs)
			EXPECT_FALSE(c.active);
}

// The board presets: how many CRTCs, what plane 0 is and may drive, and where the console sits
// (the plane showing its framebuffer, the CRTC lit with HDMI's preferred mode).
TEST(presets, boards_light_the_console_where_their_kernel_does)
{
	struct board {
		const char *name;
		size_t crtcs;
		uint32_t plane0_type, plane0_crtcs;
		int console_plane, console_crtc;
	};
	constexpr uint32_t P = DRM_PLANE_TYPE_PRIMARY, O = DRM_PLANE_TYPE_OVERLAY;
	const board boards[] = {
	        {"rk3399-vopl-first", 2, P, 0x1, 0, 0}, {"rk3399-vopb-first", 2, P, 0x1, 0, 0},
	        {"rk356x-vop2", 1, P, 0x1, 0, 0},       {"vc4-pi4-6.1", 5, P, 0x1, 3, 3},
	        {"vc4-pi4-4.19", 4, P, 0x1, 20, 2},     {"sun8i-h3", 1, O, 0x1, 1, 0},
	        {"sun50i-a64", 2, O, 0x1, 5, 1},        {"imx8mp-lcdif", 1, P, 0x1, 0, 0},
	        {"imx6-ipuv3", 4, P, 0x1, 0, 0},        {"meson-gxl", 1, P, 0x1, 0, 0},
	        {"tidss-am65x", 1, P, 0x1, 0, 0},       {"simple-kms-4.19", 1, P, 0x1, 0, 0},
	        {"simple-kms-6.1", 1, P, 0x1, 0, 0},    {"simpledrm", 1, P, 0x1, 0, 0},
	        {"exynos4210", 1, P, 0x1, 0, 0},
	};
	const std::vector<std::string_view> names = sim::preset_names();
	for (const board &b : boards) {
		SCOPED_TRACE(b.name);
		EXPECT_NE(std::find(names.begin(), names.end(), b.name), names.end());
		const std::optional<sim::topology> t = sim::preset(b.name);
		ASSERT_TRUE(t);
		EXPECT_EQ(t->crtcs.size(), b.crtcs);
		EXPECT_EQ(t->planes[0].type, b.plane0_type);
		EXPECT_EQ(t->planes[0].possible_crtcs, b.plane0_crtcs);
		EXPECT_EQ(t->planes[size_t(b.console_plane)].type, P);
		sim::install(*t);
		for (size_t p = 0; p < t->planes.size(); p++) {
			const bool console = int(p) == b.console_plane;
			const uint32_t plane = sim::plane_id(int(p));
			EXPECT_EQ(sim::property_value(plane, "FB_ID") != 0u, console)
			        << "plane " << p;
			EXPECT_EQ(sim::property_value(plane, "CRTC_ID"),
			          console ? sim::crtc_id(b.console_crtc) : 0u)
			        << "plane " << p;
		}
		for (size_t c = 0; c < b.crtcs; c++)
			EXPECT_EQ(sim::property_value(sim::crtc_id(int(c)), "ACTIVE"),
			          int(c) == b.console_crtc ? 1u : 0u)
			        << "crtc " << c;
		EXPECT_EQ(sim::property_value(sim::connector_id(0), "CRTC_ID"),
		          sim::crtc_id(b.console_crtc));
		EXPECT_EQ(sim::screen(b.console_crtc).width,
		          t->connectors[0].modes.front().hdisplay);
	}
}

} // namespace
