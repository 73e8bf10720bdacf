// The driver presets against what the kernel's drivers reported (tests/sim/kernel-probes).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include <xf86drmMode.h>

#include "sim/sim.h"
#include "tests/sim/kernel_probe.h"

namespace
{

std::string fourcc(uint32_t f)
{
	return {char(f), char(f >> 8), char(f >> 16), char(f >> 24)};
}

const char *plane_type(uint32_t type)
{
	switch (type) {
	case DRM_PLANE_TYPE_PRIMARY:
		return "primary";
	case DRM_PLANE_TYPE_CURSOR:
		return "cursor";
	default:
		return "overlay";
	}
}

class driver_preset : public testing::TestWithParam<const char *>
{
protected:
	void SetUp() override
	{
		const std::string text =
		        probe::read_file(std::string(SIMKMS_PROBE_DIR "/") + GetParam() + ".txt");
		ASSERT_FALSE(text.empty());
		ref = probe::parse(text);
		std::optional<sim::topology> p = sim::preset(GetParam());
		ASSERT_TRUE(p);
		t = *p;
	}
	probe::report ref;
	sim::topology t;
};

TEST_P(driver_preset, names_the_driver_its_caps_and_framebuffer_limits)
{
	EXPECT_EQ(t.driver.name, ref.driver);
	EXPECT_EQ(t.driver.desc, ref.desc);
	EXPECT_EQ(std::to_string(t.driver.preferred_depth), ref.caps["DUMB_PREFERRED_DEPTH"]);
	EXPECT_EQ(t.driver.fb_modifiers ? "1" : "0", ref.caps["ADDFB2_MODIFIERS"]);
	EXPECT_EQ(int(t.driver.min_width), ref.min_width);
	EXPECT_EQ(int(t.driver.min_height), ref.min_height);
	EXPECT_EQ(int(t.driver.max_width), ref.max_width);
	EXPECT_EQ(int(t.driver.max_height), ref.max_height);
}

TEST_P(driver_preset, has_the_connector_and_modes_in_the_kernels_order)
{
	ASSERT_EQ(t.connectors.size(), ref.connectors.size());
	for (size_t i = 0; i < t.connectors.size(); i++) {
		const sim::connector_def &c = t.connectors[i];
		const probe::connector &r = ref.connectors[i];
		EXPECT_EQ(c.type, r.type);
		EXPECT_EQ(c.connected, r.connected);
		ASSERT_EQ(c.modes.size(), r.modes.size());
		for (size_t m = 0; m < c.modes.size(); m++) {
			SCOPED_TRACE("mode " + std::to_string(m));
			EXPECT_EQ(c.modes[m].hdisplay, r.modes[m].width);
			EXPECT_EQ(c.modes[m].vdisplay, r.modes[m].height);
			EXPECT_EQ(int(c.modes[m].vrefresh), r.modes[m].refresh);
			EXPECT_EQ(c.modes[m].clock, r.modes[m].clock);
			EXPECT_EQ(c.modes[m].preferred, r.modes[m].preferred);
			const std::string name =
			        c.modes[m].name.empty()
			                ? std::to_string(c.modes[m].hdisplay) + "x" +
			                          std::to_string(c.modes[m].vdisplay)
			                : c.modes[m].name;
			EXPECT_EQ(name, r.modes[m].name);
		}
		// The connector starts bound to the encoder the kernel reported.
		const auto enc =
		        std::find_if(ref.encoders.begin(), ref.encoders.end(),
		                     [&](const probe::encoder &e) { return e.id == r.encoder; });
		ASSERT_NE(enc, ref.encoders.end());
		const int bound = c.bound_encoder ? *c.bound_encoder : c.encoders.front();
		EXPECT_EQ(bound, int(enc - ref.encoders.begin()));
	}
}

TEST_P(driver_preset, has_the_encoders_and_the_fbdev_mode_active)
{
	ASSERT_EQ(t.encoders.size(), ref.encoders.size());
	for (size_t i = 0; i < t.encoders.size(); i++) {
		EXPECT_EQ(t.encoders[i].type, ref.encoders[i].type);
		EXPECT_EQ(t.encoders[i].possible_crtcs, ref.encoders[i].possible_crtcs);
	}
	ASSERT_EQ(t.crtcs.size(), ref.crtcs.size());
	for (size_t i = 0; i < t.crtcs.size(); i++) {
		EXPECT_EQ(t.crtcs[i].active, ref.crtcs[i].fb != 0);
		EXPECT_EQ(t.crtcs[i].mode.hdisplay, ref.crtcs[i].width);
		EXPECT_EQ(t.crtcs[i].mode.vdisplay, ref.crtcs[i].height);
		EXPECT_EQ(int(t.crtcs[i].mode.vrefresh), ref.crtcs[i].refresh);
	}
}

TEST_P(driver_preset, has_the_planes_with_their_formats)
{
	ASSERT_EQ(t.planes.size(), ref.planes.size());
	for (size_t i = 0; i < t.planes.size(); i++) {
		SCOPED_TRACE("plane " + std::to_string(i));
		EXPECT_EQ(plane_type(t.planes[i].type), ref.planes[i].type);
		EXPECT_EQ(t.planes[i].possible_crtcs, ref.planes[i].possible_crtcs);
		std::vector<std::string> formats;
		for (uint32_t f : t.planes[i].formats)
			formats.push_back(fourcc(f));
		EXPECT_EQ(formats, ref.planes[i].formats);
	}
}

// The request results the presets' driver settings decide: vblank, dumb-buffer depths and the
// formats ADDFB2 takes.
TEST_P(driver_preset, refuses_what_the_driver_refused)
{
	ASSERT_FALSE(ref.vblank_results.empty());
	EXPECT_EQ(t.driver.vblank, ref.vblank_results.front() == "OK");

	for (const auto &[what, result] : ref.dumb) {
		unsigned w = 0, h = 0, bpp = 0;
		ASSERT_EQ(sscanf(what.c_str(), "%ux%u bpp%u", &w, &h, &bpp), 3) << what;
		const bool accepted =
		        t.driver.dumb_bpp.empty() ||
		        std::count(t.driver.dumb_bpp.begin(), t.driver.dumb_bpp.end(), bpp);
		EXPECT_EQ(accepted, result.rfind("FAILED", 0) != 0) << what;
		if (accepted) {
			// The kernel's pitch is the minimum pitch: no alignment beyond one byte.
			const uint32_t min_pitch = w * bpp / 8;
			const uint32_t pitch = (min_pitch + t.driver.pitch_align - 1) /
			                       t.driver.pitch_align * t.driver.pitch_align;
			EXPECT_NE(result.find("pitch=" + std::to_string(pitch) + " "),
			          std::string::npos)
			        << what << ": " << result;
		}
	}

	std::set<std::string> addfb_formats;
	for (uint32_t f : t.driver.fb_formats)
		addfb_formats.insert(fourcc(f));
	if (t.driver.fb_formats.empty())
		for (const sim::plane_def &p : t.planes)
			for (uint32_t f : p.formats)
				addfb_formats.insert(fourcc(f));
	int tested = 0;
	for (const auto &[format, result] : ref.addfb2) {
		if (result == "no dumb buffer")
			continue;
		EXPECT_EQ(addfb_formats.count(format) == 1, result == "OK") << format;
		tested++;
	}
	EXPECT_GE(tested, 1);
}

INSTANTIATE_TEST_SUITE_P(kernel, driver_preset,
                         testing::Values("cirrus", "bochs", "virtio", "vkms"),
                         [](const testing::TestParamInfo<const char *> &p) {
	                         return std::string(p.param);
                         });

// The references show no driver scaling a plane (cirrus: ERANGE for a 640x480 source on a
// 1024x768 mode); every driver preset refuses it likewise.
TEST(driver_presets, do_not_scale)
{
	const probe::report cirrus = probe::parse(probe::read_file(SIMKMS_PROBE_DIR "/cirrus.txt"));
	EXPECT_NE(
	        std::find(cirrus.lines.begin(), cirrus.lines.end(),
	                  "atomic commit TEST_ONLY (ALLOW_MODESET, src 640x480 -> crtc 1024x768): "
	                  "Numerical result out of range"),
	        cirrus.lines.end());
	for (const char *name : {"cirrus", "bochs", "virtio", "vkms"})
		EXPECT_FALSE(sim::preset(name)->driver.can_scale) << name;
}

} // namespace
