// Ready topologies of the virtual card.
//
// Generic presets (hdmi-1080p, dp-then-hdmi, hdmi-then-dp, two-hdmi) model a device at boot:
// the firmware or the kernel's fbdev emulation has already set the HDMI monitor's preferred
// mode, so CRTC 0 starts active on that mode, bound to the HDMI connector through its encoder.
// Only that one output is lit; a second connected output waits unbound for a mode set, so at
// start no plane but the first shows anything. The outputs without a usable monitor
// (disconnected, connected-no-modes) start with every CRTC off.
//
// Plane lists put the primary plane first. The primary never offers RG24 (as on most display
// controllers); among the overlays some offer RG24 and some do not, so "the first plane that
// offers RG24" is an overlay that is not the first one.
//
// The driver presets copy what the kernel's cirrus, bochs, virtio_gpu and vkms (enable_overlay=1)
// drivers reported on Debian's 6.1 kernel: driver version, connector type, modes in the kernel's
// order with their clocks, EDID, encoders, the order in which the driver creates its objects
// (and so their ids), fbdev emulation's console on the CRTC lit at start, planes and formats, no
// vblank (except vkms), no plane scaling, dumb-buffer, framebuffer and scan-out limits.
#include <drm_fourcc.h>
#include <xf86drmMode.h>

#include "sim/sim.h"

namespace sim
{

namespace
{

mode_def mode(uint16_t w, uint16_t h, uint32_t refresh, uint32_t clock, bool preferred = false)
{
	mode_def m;
	m.hdisplay = w;
	m.vdisplay = h;
	m.vrefresh = refresh;
	m.clock = clock;
	m.preferred = preferred;
	return m;
}

std::vector<mode_def> hdmi_modes()
{
	return {
	        mode(1920, 1080, 60, 148500, true), mode(1280, 720, 60, 74250),
	        mode(1024, 768, 60, 65000),         mode(800, 600, 60, 40000),
	        mode(720, 480, 60, 27000),          mode(640, 480, 60, 25175),
	};
}

std::vector<mode_def> dp_modes()
{
	return {
	        mode(2560, 1440, 60, 241500, true), mode(1920, 1080, 60, 148500),
	        mode(1280, 720, 60, 74250),         mode(1024, 768, 60, 65000),
	        mode(800, 600, 60, 40000),          mode(640, 480, 60, 25175),
	};
}

plane_def plane(uint32_t type, uint32_t possible_crtcs, std::vector<uint32_t> formats)
{
	plane_def p;
	p.type = type;
	p.possible_crtcs = possible_crtcs;
	p.formats = std::move(formats);
	return p;
}

connector_def connector(uint32_t type, std::vector<mode_def> modes, int encoder,
                        std::optional<int> bound)
{
	connector_def c;
	c.type = type;
	c.modes = std::move(modes);
	c.encoders = {encoder};
	c.bound_encoder = bound;
	return c;
}

encoder_def encoder(uint32_t type, uint32_t possible_crtcs)
{
	encoder_def e;
	e.type = type;
	e.possible_crtcs = possible_crtcs;
	return e;
}

crtc_def crtc_off()
{
	return {};
}

crtc_def crtc_on(const mode_def &m)
{
	crtc_def c;
	c.active = true;
	c.mode = m;
	return c;
}

// Planes of a one-CRTC display controller: primary, an overlay without RG24, two with it, cursor.
std::vector<plane_def> planes_one_crtc()
{
	return {
	        plane(DRM_PLANE_TYPE_PRIMARY, 0x1,
	              {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888, DRM_FORMAT_RGB565}),
	        plane(DRM_PLANE_TYPE_OVERLAY, 0x1,
	              {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888, DRM_FORMAT_XBGR8888}),
	        plane(DRM_PLANE_TYPE_OVERLAY, 0x1,
	              {DRM_FORMAT_RGB888, DRM_FORMAT_BGR888, DRM_FORMAT_XRGB8888,
	               DRM_FORMAT_ARGB8888}),
	        plane(DRM_PLANE_TYPE_OVERLAY, 0x1, {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888}),
	        plane(DRM_PLANE_TYPE_CURSOR, 0x1, {DRM_FORMAT_ARGB8888}),
	};
}

// Planes of a two-CRTC controller: one primary per CRTC (CRTC 0's first), shared overlays.
std::vector<plane_def> planes_two_crtcs()
{
	return {
	        plane(DRM_PLANE_TYPE_PRIMARY, 0x1,
	              {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888, DRM_FORMAT_RGB565}),
	        plane(DRM_PLANE_TYPE_PRIMARY, 0x2,
	              {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888, DRM_FORMAT_RGB565}),
	        plane(DRM_PLANE_TYPE_OVERLAY, 0x3, {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888}),
	        plane(DRM_PLANE_TYPE_OVERLAY, 0x3,
	              {DRM_FORMAT_RGB888, DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888}),
	        plane(DRM_PLANE_TYPE_CURSOR, 0x3, {DRM_FORMAT_ARGB8888}),
	};
}

// A DisplayPort and an HDMI-A monitor on a two-CRTC controller; the HDMI monitor is lit on
// CRTC 0 at start.
topology dp_and_hdmi(bool dp_first)
{
	topology t;
	t.driver.name = "simkms";
	const int dp = dp_first ? 0 : 1;
	const int hdmi = dp_first ? 1 : 0;
	t.encoders.resize(2);
	t.encoders[dp] = encoder(DRM_MODE_ENCODER_TMDS, 0x3);
	t.encoders[hdmi] = encoder(DRM_MODE_ENCODER_TMDS, 0x3);
	t.connectors.resize(2);
	t.connectors[dp] = connector(DRM_MODE_CONNECTOR_DisplayPort, dp_modes(), dp, -1);
	t.connectors[hdmi] = connector(DRM_MODE_CONNECTOR_HDMIA, hdmi_modes(), hdmi, hdmi);
	t.crtcs = {crtc_on(hdmi_modes().front()), crtc_off()};
	t.planes = planes_two_crtcs();
	return t;
}

// What the four kernel drivers share: no plane scaling, a primary plane that covers the whole
// CRTC, no vblank interrupt, one CRTC driven by one encoder, fbdev's console shown at boot.
topology kernel_driver(std::string name, std::string desc, uint32_t connector_type,
                       uint32_t encoder_type, std::vector<mode_def> modes)
{
	topology t;
	t.driver.name = std::move(name);
	t.driver.desc = std::move(desc);
	t.driver.can_scale = false;
	t.driver.can_position = false;
	t.driver.vblank = false;
	t.driver.fbdev = true;
	t.encoders = {encoder(encoder_type, 0x1)};
	t.crtcs = {crtc_on(modes.front())};
	t.connectors = {connector(connector_type, std::move(modes), 0, 0)};
	return t;
}

// The modes that QEMU's EDID offers (bochs and virtio-gpu), preferred 1280x800@75 first.
std::vector<mode_def> qemu_edid_modes()
{
	return {
	        mode(1280, 800, 75, 107300, true), mode(1920, 1080, 60, 148500),
	        mode(1920, 1080, 50, 148500),      mode(1600, 1200, 60, 162000),
	        mode(1680, 1050, 60, 146250),      mode(1400, 1050, 60, 121750),
	        mode(1280, 1024, 60, 108000),      mode(1440, 900, 60, 106500),
	        mode(1280, 960, 60, 108000),       mode(1360, 768, 60, 85500),
	        mode(1280, 768, 60, 79500),        mode(1024, 768, 60, 65000),
	        mode(800, 600, 60, 40000),         mode(640, 480, 60, 25200),
	        mode(640, 480, 60, 25175),
	};
}

} // namespace

topology preset_hdmi_1080p()
{
	topology t;
	t.driver.name = "simkms";
	t.encoders = {encoder(DRM_MODE_ENCODER_TMDS, 0x1)};
	t.connectors = {connector(DRM_MODE_CONNECTOR_HDMIA, hdmi_modes(), 0, 0)};
	t.crtcs = {crtc_on(hdmi_modes().front())};
	t.planes = planes_one_crtc();
	return t;
}

topology preset_dp_then_hdmi()
{
	return dp_and_hdmi(true);
}

topology preset_hdmi_then_dp()
{
	return dp_and_hdmi(false);
}

topology preset_two_hdmi()
{
	topology t;
	t.driver.name = "simkms";
	t.encoders = {encoder(DRM_MODE_ENCODER_TMDS, 0x3), encoder(DRM_MODE_ENCODER_TMDS, 0x3)};
	t.connectors = {connector(DRM_MODE_CONNECTOR_HDMIA, hdmi_modes(), 0, 0),
	                connector(DRM_MODE_CONNECTOR_HDMIA, hdmi_modes(), 1, -1)};
	t.crtcs = {crtc_on(hdmi_modes().front()), crtc_off()};
	t.planes = planes_two_crtcs();
	return t;
}

topology preset_disconnected()
{
	topology t = preset_hdmi_1080p();
	// The monitor's modes stay in the topology so that a later "connect" brings them back.
	t.connectors[0].connected = false;
	t.connectors[0].bound_encoder = -1;
	t.crtcs = {crtc_off()};
	return t;
}

topology preset_connected_no_modes()
{
	topology t = preset_hdmi_1080p();
	t.connectors[0].modes.clear();
	t.connectors[0].bound_encoder = -1;
	t.crtcs = {crtc_off()};
	return t;
}

topology preset_cirrus()
{
	topology t = kernel_driver("cirrus", "qemu cirrus vga", DRM_MODE_CONNECTOR_VGA,
	                           DRM_MODE_ENCODER_NONE,
	                           {
	                                   mode(1024, 768, 60, 65000, true),
	                                   mode(1600, 900, 60, 108000),
	                                   mode(1280, 1024, 60, 108000),
	                                   mode(1440, 900, 60, 106500),
	                                   mode(1440, 900, 60, 88750),
	                                   mode(1280, 960, 60, 108000),
	                                   mode(1366, 768, 60, 85500),
	                                   mode(1366, 768, 60, 72000),
	                                   mode(1360, 768, 60, 85500),
	                                   mode(1280, 800, 60, 83500),
	                                   mode(1280, 800, 60, 71000),
	                                   mode(1280, 768, 60, 79500),
	                                   mode(1280, 768, 60, 68250),
	                                   mode(1280, 720, 60, 74250),
	                                   mode(800, 600, 60, 40000),
	                                   mode(800, 600, 56, 36000),
	                                   mode(848, 480, 60, 33750),
	                                   mode(640, 480, 60, 25175),
	                           });
	t.planes = {plane(DRM_PLANE_TYPE_PRIMARY, 0x1,
	                  {DRM_FORMAT_RGB565, DRM_FORMAT_RGB888, DRM_FORMAT_XRGB8888})};
	// cirrus_fb_create refuses framebuffers wider than 2044 or taller than 1024.
	t.driver.max_width = 2044;
	t.driver.max_height = 1024;
	t.driver.preferred_depth = 16;
	t.driver.version_major = 2;
	// Its 4 MiB of video memory take rows of at most 4088 bytes (CIRRUS_MAX_PITCH).
	t.driver.max_scanout_pitch = 4088;
	t.driver.scanout_memory = 4u << 20;
	// cirrus_pipe_init() and bochs_kms_init() use drm_simple_display_pipe_init().
	t.driver.simple_display_pipe = true;
	// cirrus_conn_init() runs before the display pipe is made.
	using kind = driver_def::object_kind;
	t.driver.creation_order = {kind::connectors, kind::planes, kind::crtcs, kind::encoders};
	return t;
}

topology preset_bochs()
{
	topology t =
	        kernel_driver("bochs-drm", "bochs dispi vga interface (qemu stdvga)",
	                      DRM_MODE_CONNECTOR_VIRTUAL, DRM_MODE_ENCODER_NONE, qemu_edid_modes());
	t.planes = {plane(DRM_PLANE_TYPE_PRIMARY, 0x1, {DRM_FORMAT_XRGB8888, DRM_FORMAT_BGRX8888})};
	t.driver.preferred_depth = 24;
	t.driver.simple_display_pipe = true;
	// bochs_connector_init() reads QEMU's EDID and makes the connector before the display pipe.
	t.connectors[0].edid = connector_def::edid_blob::at_init;
	using kind = driver_def::object_kind;
	t.driver.creation_order = {kind::connectors, kind::planes, kind::crtcs, kind::encoders};
	return t;
}

topology preset_virtio()
{
	std::vector<mode_def> modes = qemu_edid_modes();
	// virtio-gpu adds the large modes of QEMU's EDID that bochs leaves out; the kernel sorts
	// them after the preferred one, by size.
	const std::vector<mode_def> large = {
	        mode(5120, 2160, 50, 742500), mode(4096, 2160, 50, 594000),
	        mode(3840, 2160, 60, 594000), mode(3840, 2160, 60, 593407),
	        mode(3840, 2160, 50, 594000), mode(1920, 1440, 60, 234000),
	        mode(2560, 1080, 50, 185625), mode(1856, 1392, 60, 218250),
	        mode(1792, 1344, 60, 204750), mode(2048, 1152, 60, 162000),
	        mode(1920, 1200, 60, 193250),
	};
	modes.insert(modes.begin() + 1, large.begin(), large.end());
	topology t = kernel_driver("virtio_gpu", "virtio GPU", DRM_MODE_CONNECTOR_VIRTUAL,
	                           DRM_MODE_ENCODER_VIRTUAL, std::move(modes));
	t.planes = {plane(DRM_PLANE_TYPE_PRIMARY, 0x1, {DRM_FORMAT_XRGB8888}),
	            plane(DRM_PLANE_TYPE_CURSOR, 0x1, {DRM_FORMAT_ARGB8888})};
	// virtio_gpu_mode_dumb_create accepts 32 bits per pixel only.
	t.driver.dumb_bpp = {32};
	// No format modifiers: no ADDFB2_MODIFIERS cap and no IN_FORMATS blobs on the planes.
	t.driver.fb_modifiers = false;
	t.driver.min_width = 32;
	t.driver.min_height = 32;
	t.driver.version_major = 0;
	t.driver.version_minor = 1;
	// QEMU answers the GET_EDID request after every object exists.
	t.connectors[0].edid = connector_def::edid_blob::at_probe;
	return t;
}

topology preset_vkms()
{
	topology t = kernel_driver(
	        "vkms", "Virtual Kernel Mode Setting", DRM_MODE_CONNECTOR_VIRTUAL,
	        DRM_MODE_ENCODER_VIRTUAL,
	        {
	                mode(1024, 768, 60, 65000, true), mode(4096, 2160, 60, 556744),
	                mode(4096, 2160, 60, 556188),     mode(2560, 1600, 60, 348500),
	                mode(2560, 1600, 60, 268500),     mode(1920, 1440, 60, 234000),
	                mode(1856, 1392, 60, 218250),     mode(1792, 1344, 60, 204750),
	                mode(2048, 1152, 60, 162000),     mode(1920, 1200, 60, 193250),
	                mode(1920, 1200, 60, 154000),     mode(1920, 1080, 60, 148500),
	                mode(1600, 1200, 60, 162000),     mode(1680, 1050, 60, 146250),
	                mode(1680, 1050, 60, 119000),     mode(1400, 1050, 60, 121750),
	                mode(1400, 1050, 60, 101000),     mode(1600, 900, 60, 108000),
	                mode(1280, 1024, 60, 108000),     mode(1440, 900, 60, 106500),
	                mode(1440, 900, 60, 88750),       mode(1280, 960, 60, 108000),
	                mode(1366, 768, 60, 85500),       mode(1366, 768, 60, 72000),
	                mode(1360, 768, 60, 85500),       mode(1280, 800, 60, 83500),
	                mode(1280, 800, 60, 71000),       mode(1280, 768, 60, 79500),
	                mode(1280, 768, 60, 68250),       mode(1280, 720, 60, 74250),
	                mode(800, 600, 60, 40000),        mode(800, 600, 56, 36000),
	                mode(848, 480, 60, 33750),        mode(640, 480, 60, 25175),
	        });
	t.driver.vblank = true;
	t.driver.min_width = 20;
	t.driver.min_height = 20;
	t.driver.cursor_width = 512;
	t.driver.cursor_height = 512;
	// The writeback connector stays hidden from clients without the writeback capability, but
	// its encoder is listed. After the encoder come its three properties, its format blob and
	// the connector itself, which the card does not model.
	t.encoders.push_back(encoder(DRM_MODE_ENCODER_VIRTUAL, 0x1));
	t.driver.hidden_ids = 5;

	const std::vector<uint32_t> overlay_formats = {DRM_FORMAT_ARGB8888, DRM_FORMAT_XRGB8888,
	                                               DRM_FORMAT_XRGB16161616,
	                                               DRM_FORMAT_ARGB16161616, DRM_FORMAT_RGB565};
	t.planes = {plane(DRM_PLANE_TYPE_PRIMARY, 0x1,
	                  {DRM_FORMAT_XRGB8888, DRM_FORMAT_XRGB16161616, DRM_FORMAT_RGB565})};
	for (int i = 0; i < 8; i++)
		t.planes.push_back(plane(DRM_PLANE_TYPE_OVERLAY, 0x1, overlay_formats));
	t.planes.push_back(plane(DRM_PLANE_TYPE_CURSOR, 0x1, overlay_formats));

	// vkms creates framebuffers through drm_gem_fb_create without asking its planes, so ADDFB2
	// takes formats that no plane offers (RG24, BG24); the atomic check then refuses them on
	// every plane.
	t.driver.fb_formats = {
	        DRM_FORMAT_RGB565,       DRM_FORMAT_BGR565,      DRM_FORMAT_RGB888,
	        DRM_FORMAT_BGR888,       DRM_FORMAT_XRGB8888,    DRM_FORMAT_XBGR8888,
	        DRM_FORMAT_RGBX8888,     DRM_FORMAT_BGRX8888,    DRM_FORMAT_ARGB8888,
	        DRM_FORMAT_ABGR8888,     DRM_FORMAT_RGBA8888,    DRM_FORMAT_BGRA8888,
	        DRM_FORMAT_XRGB2101010,  DRM_FORMAT_ARGB2101010, DRM_FORMAT_XRGB16161616,
	        DRM_FORMAT_ARGB16161616,
	};
	return t;
}

namespace
{

struct preset_entry {
	std::string_view name;
	topology (*make)();
};

constexpr preset_entry k_presets[] = {
        {"hdmi-1080p", preset_hdmi_1080p},
        {"dp-then-hdmi", preset_dp_then_hdmi},
        {"hdmi-then-dp", preset_hdmi_then_dp},
        {"two-hdmi", preset_two_hdmi},
        {"disconnected", preset_disconnected},
        {"connected-no-modes", preset_connected_no_modes},
        {"cirrus", preset_cirrus},
        {"bochs", preset_bochs},
        {"virtio", preset_virtio},
        {"vkms", preset_vkms},
};

} // namespace

std::optional<topology> preset(std::string_view name)
{
	for (const preset_entry &e : k_presets)
		if (e.name == name)
			return e.make();
	return std::nullopt;
}

std::vector<std::string_view> preset_names()
{
	std::vector<std::string_view> names;
	for (const preset_entry &e : k_presets)
		names.push_back(e.name);
	return names;
}

} // namespace sim
