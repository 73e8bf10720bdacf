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

// --- AArch64 boards --------------------------------------------------------------------------
// Each board boots with the kernel console: fbdev emulation picks its CRTCs
// (drm_client_pick_crtcs(), drm_client_modeset.c) and lights the HDMI monitor, connected with
// 1920x1080 preferred and three smaller modes. RG24 is stored as DRM defines it (B, G, R).

std::vector<mode_def> board_modes()
{
	return {mode(1920, 1080, 60, 148500, true), mode(1280, 720, 60, 74250),
	        mode(1024, 768, 60, 65000), mode(800, 600, 60, 40000)};
}

// Packed RGB formats display controllers list, RG24 among them.
std::vector<uint32_t> rgb_formats()
{
	return {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888, DRM_FORMAT_XBGR8888, DRM_FORMAT_ABGR8888,
	        DRM_FORMAT_RGB888,   DRM_FORMAT_BGR888,   DRM_FORMAT_RGB565,   DRM_FORMAT_BGR565};
}

// The same without RG24 and BG24 (i.MX ipuv3, mxsfb, DCSS).
std::vector<uint32_t> rgb32_formats()
{
	return {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888, DRM_FORMAT_XBGR8888,
	        DRM_FORMAT_ABGR8888, DRM_FORMAT_RGB565,   DRM_FORMAT_BGR565};
}

plane_def scaled(plane_def p, int32_t min_scale, int32_t max_scale)
{
	p.min_scale = min_scale;
	p.max_scale = max_scale;
	return p;
}

constexpr int32_t k_no_scaling = 1 << 16; // DRM_PLANE_NO_SCALING

plane_def unscaled(plane_def p)
{
	return scaled(std::move(p), k_no_scaling, k_no_scaling);
}

plane_def covering(plane_def p)
{
	p.can_position = false;
	return p;
}

plane_def at_zpos(plane_def p, int zpos)
{
	p.zpos = zpos;
	return p;
}

// A board driver with vblank interrupts and the console on; the HDMI-A monitor is connector 0,
// on encoder 0, which the caller gives its CRTCs.
topology board(std::string name, std::string desc, uint32_t pitch_align, int crtcs,
               uint32_t hdmi_crtcs)
{
	topology t;
	t.driver.name = std::move(name);
	t.driver.desc = std::move(desc);
	t.driver.fbdev = true;
	t.driver.fbdev_picks_crtcs = true;
	t.driver.pitch_align = pitch_align;
	t.driver.preferred_depth = 24;
	t.crtcs.assign(size_t(crtcs), crtc_off());
	t.encoders = {encoder(DRM_MODE_ENCODER_TMDS, hdmi_crtcs)};
	t.connectors = {connector(DRM_MODE_CONNECTOR_HDMIA, board_modes(), 0, 0)};
	return t;
}

// One rk3399 VOP (rockchip_drm_vop.c vop_create_crtc()): primary and cursor first, then the
// overlays, all tied to the VOP's CRTC. Windows with a scaler take 1/8 to 8
// (vop_plane_atomic_check(), FRAC_16_16(1, 8) and 8 << 16); the others none. Every window
// lists RGB888 (rockchip_vop_reg.c formats_win_full, formats_win_lite).
void add_rk3399_vop(topology &t, bool big, int crtc)
{
	const uint32_t mine = 1u << crtc;
	const int32_t min = 0x10000 / 8, max = 8 << 16;
	if (big) {
		// vopb: win0 (primary), win3 (cursor), win1, win2; win0 and win1 scale.
		t.planes.push_back(
		        scaled(plane(DRM_PLANE_TYPE_PRIMARY, mine, rgb_formats()), min, max));
		t.planes.push_back(unscaled(plane(DRM_PLANE_TYPE_CURSOR, mine, rgb_formats())));
		t.planes.push_back(
		        scaled(plane(DRM_PLANE_TYPE_OVERLAY, mine, rgb_formats()), min, max));
		t.planes.push_back(unscaled(plane(DRM_PLANE_TYPE_OVERLAY, mine, rgb_formats())));
		// rk3399_vop_big max_output 4096x2160 (vop_crtc_mode_valid()).
		t.crtcs[size_t(crtc)].max_hdisplay = 4096;
		t.crtcs[size_t(crtc)].max_vdisplay = 2160;
	} else {
		// vopl: win0 (primary, scales), win2 (cursor).
		t.planes.push_back(
		        scaled(plane(DRM_PLANE_TYPE_PRIMARY, mine, rgb_formats()), min, max));
		t.planes.push_back(unscaled(plane(DRM_PLANE_TYPE_CURSOR, mine, rgb_formats())));
		// rk3399_vop_lit max_output 2560x1600.
		t.crtcs[size_t(crtc)].max_hdisplay = 2560;
		t.crtcs[size_t(crtc)].max_vdisplay = 1600;
	}
}

// rk3399: one CRTC per VOP in bind order (rockchip_drm_drv.c rockchip_drm_match_add()); the
// dw-hdmi encoder reaches both (dw_hdmi-rockchip.c, from the OF graph). No primary plane is
// required (vop_crtc_atomic_check()). Dumb pitch ALIGN(w * 3, 64) (rockchip_gem_dumb_create()).
topology rk3399(bool vopl_first)
{
	topology t = board("rockchip", "RockChip Soc DRM", 64, 2, 0x3);
	add_rk3399_vop(t, !vopl_first, 0);
	add_rk3399_vop(t, vopl_first, 1);
	return t;
}

} // namespace

topology preset_rk3399_vopl_first()
{
	return rk3399(true);
}

topology preset_rk3399_vopb_first()
{
	return rk3399(false);
}

// rk356x VOP2 (rockchip_drm_vop2.c vop2_create_crtcs()): one CRTC per video port with an
// endpoint, HDMI on VP0; Smart0 is VP0's primary and comes first, then the other windows as
// overlays on any port. All scale 1/8 to 8 (vop2_plane_atomic_check()) and list RGB888. The
// Cluster windows take AFBC buffers only, which the card does not tell apart: they are listed
// without packed 24-bit formats. No primary plane is required.
topology preset_rk356x_vop2()
{
	topology t = board("rockchip", "RockChip Soc DRM", 64, 1, 0x1);
	const int32_t min = 0x10000 / 8, max = 8 << 16;
	t.planes.push_back(scaled(plane(DRM_PLANE_TYPE_PRIMARY, 0x1, rgb_formats()), min, max));
	for (int i = 0; i < 2; i++) // Cluster0, Cluster1
		t.planes.push_back(scaled(plane(DRM_PLANE_TYPE_OVERLAY, 0x1,
		                                {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888}),
		                          min, max));
	for (int i = 0; i < 3; i++) // Esmart0, Esmart1, Smart1
		t.planes.push_back(
		        scaled(plane(DRM_PLANE_TYPE_OVERLAY, 0x1, rgb_formats()), min, max));
	return t;
}

namespace
{

// vc4 on a Pi 4. Under 4.19 the CRTCs are the pixelvalves pv0, pv1, pv2 (HDMI0), pv4 (HDMI1);
// under 6.1 the TXP binds before the pixelvalves, so CRTC 0 is the writeback
// TXP (vc4_drv.c component order, vc4_txp.c vc4_txp_bind()), then pv0, pv1, pv2 (HDMI0),
// pv4 (HDMI1). The HDMI encoders reach only their pixelvalve, the TXP encoder only the TXP
// (vc4_crtc.c vc4_set_crtc_possible_masks()). Every plane takes RGB888 and any scaling
// (vc4_plane.c vc4_plane_atomic_check(): 1 to INT_MAX, can_position); no primary plane is
// required. Dumb pitch w * 3 (vc4_dumb_create()).
topology vc4_pi4(bool txp)
{
	const int crtcs = txp ? 5 : 4;
	const int hdmi0 = txp ? 3 : 2;
	topology t = board("vc4", "Broadcom VC4 graphics", 1, crtcs, 1u << hdmi0);
	// HDMI1 on pv4, the last CRTC, nothing attached.
	t.encoders.push_back(encoder(DRM_MODE_ENCODER_TMDS, 1u << (crtcs - 1)));
	t.connectors.push_back(connector(DRM_MODE_CONNECTOR_HDMIA, board_modes(), 1, 1));
	t.connectors.back().connected = false;
	if (txp) {
		// The TXP's writeback connector, seen only by clients with the writeback cap.
		t.encoders.push_back(encoder(DRM_MODE_ENCODER_VIRTUAL, 0x1));
		t.connectors.push_back(connector(DRM_MODE_CONNECTOR_WRITEBACK, {}, 2, 2));
		t.connectors.back().connected = false;
		// 6.1 vc4_crtc_init() and vc4_plane_create_additional_planes(): one primary per
		// CRTC, tied to it; then 16 overlays on every CRTC; then a cursor per CRTC.
		for (int c = 0; c < crtcs; c++)
			t.planes.push_back(plane(DRM_PLANE_TYPE_PRIMARY, 1u << c, rgb_formats()));
		for (int i = 0; i < 16; i++)
			t.planes.push_back(
			        plane(DRM_PLANE_TYPE_OVERLAY, (1u << crtcs) - 1, rgb_formats()));
		for (int c = 0; c < crtcs; c++)
			t.planes.push_back(plane(DRM_PLANE_TYPE_CURSOR, 1u << c, rgb_formats()));
	} else {
		// 4.19 vc4_crtc_bind(): each pixelvalve's primary, 8 overlays and cursor, all tied
		// to it.
		for (int c = 0; c < crtcs; c++) {
			t.planes.push_back(plane(DRM_PLANE_TYPE_PRIMARY, 1u << c, rgb_formats()));
			for (int i = 0; i < 8; i++)
				t.planes.push_back(
				        plane(DRM_PLANE_TYPE_OVERLAY, 1u << c, rgb_formats()));
			t.planes.push_back(plane(DRM_PLANE_TYPE_CURSOR, 1u << c, rgb_formats()));
		}
	}
	return t;
}

// One Allwinner DE2 mixer (sun8i_mixer.c sun8i_layers_init()): the VI layers first, then the
// UI layers with UI0 the primary, all tied to the mixer's CRTC (sun4i_crtc.c
// sun4i_crtc_init()); each layer's zpos is its index. Channels in the mixer's scaler_mask
// scale 1 to 2^20 - 1 (sun8i_ui_layer.c, sun8i_vi_layer.c atomic_check); all list RGB888.
void add_de2_mixer(topology &t, int crtc, int vi, int ui, uint32_t scaler_mask)
{
	const uint32_t mine = 1u << crtc;
	for (int i = 0; i < vi + ui; i++) {
		const uint32_t type = i == vi ? DRM_PLANE_TYPE_PRIMARY : DRM_PLANE_TYPE_OVERLAY;
		plane_def p = at_zpos(plane(type, mine, rgb_formats()), i);
		t.planes.push_back(scaler_mask >> i & 1 ? scaled(p, 1, (1 << 20) - 1)
		                                        : unscaled(p));
	}
}

} // namespace

topology preset_vc4_pi4_6_1()
{
	return vc4_pi4(true);
}

topology preset_vc4_pi4_4_19()
{
	return vc4_pi4(false);
}

// H3: one pipeline, HDMI on CRTC 0; mixer0 has VI0 and UI0-UI2, all scaling (mask 0xf). No
// primary plane is required (sun4i_crtc_atomic_check()). Dumb pitch ALIGN(w * 3, 2)
// (sun4i_drv.c drm_sun4i_gem_dumb_create()).
topology preset_sun8i_h3()
{
	topology t = board("sun4i-drm", "Allwinner sun4i Display Engine", 2, 1, 0x1);
	add_de2_mixer(t, 0, 1, 3, 0xf);
	return t;
}

// A64: mixer0/tcon0 (the LCD, no panel) binds first, so HDMI on tcon1 is CRTC 1
// (sun50i-a64.dtsi, sun4i_drv.c sun4i_drv_traverse_endpoints()). mixer1 has VI0 and UI0, both
// scaling (mask 0x3).
topology preset_sun50i_a64()
{
	topology t = board("sun4i-drm", "Allwinner sun4i Display Engine", 2, 2, 0x2);
	add_de2_mixer(t, 0, 1, 3, 0xf);
	add_de2_mixer(t, 1, 1, 1, 0x3);
	return t;
}

// i.MX8MP LCDIF (mxsfb/lcdif_kms.c): one primary plane with RGB888, no scaling, covering the
// CRTC (lcdif_plane_atomic_check()); an enabled CRTC needs it (lcdif_crtc_atomic_check()).
topology preset_imx8mp_lcdif()
{
	topology t = board("imx-lcdif", "i.MX LCDIF Controller DRM", 1, 1, 0x1);
	t.crtcs[0].needs_primary = true;
	t.planes = {covering(unscaled(plane(DRM_PLANE_TYPE_PRIMARY, 0x1,
	                                    {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888,
	                                     DRM_FORMAT_RGB888, DRM_FORMAT_RGB565})))};
	return t;
}

// i.MX6 ipuv3 (imx/ipuv3/): four CRTCs (IPU1 DI0, DI1, IPU2 DI0, DI1), HDMI reaching all of
// them. Each CRTC gets its primary and the DP-capable DI0s an overlay (ipuv3-crtc.c
// ipu_crtc_init()); no plane offers RGB888 (ipuv3-plane.c ipu_plane_formats). No scaling, the
// primary covers the CRTC and an enabled CRTC needs it (ipu_plane_atomic_check(),
// ipu_crtc_atomic_check()). Dumb width aligned to 8 pixels (imx-drm-core.c
// imx_drm_dumb_create()): a 32-bit pitch in steps of 32 bytes.
topology preset_imx6_ipuv3()
{
	topology t = board("imx-drm", "i.MX DRM graphics", 32, 4, 0xf);
	for (int c = 0; c < 4; c++) {
		t.crtcs[size_t(c)].needs_primary = true;
		t.planes.push_back(covering(
		        unscaled(plane(DRM_PLANE_TYPE_PRIMARY, 1u << c, rgb32_formats()))));
		if (c % 2 == 0)
			t.planes.push_back(
			        unscaled(plane(DRM_PLANE_TYPE_OVERLAY, 1u << c, rgb32_formats())));
	}
	return t;
}

// Amlogic GXL (meson_drv.c meson_drv_bind_master()): one CRTC; OSD1 the primary before the
// YUV-only VD1 overlay. OSD1 upscales up to 5x, never downscales and covers the CRTC
// (meson_plane.c meson_plane_atomic_check()). No CRTC check. Dumb pitch ALIGN(w * 3, 64)
// (meson_dumb_create()).
topology preset_meson_gxl()
{
	topology t = board("meson", "Amlogic Meson Video Processing Unit", 64, 1, 0x1);
	t.planes = {
	        covering(
	                scaled(plane(DRM_PLANE_TYPE_PRIMARY, 0x1,
	                             {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888, DRM_FORMAT_XBGR8888,
	                              DRM_FORMAT_ABGR8888, DRM_FORMAT_RGB888, DRM_FORMAT_RGB565}),
	                       0x10000 / 5, 0x10000)),
	        plane(DRM_PLANE_TYPE_OVERLAY, 0x1,
	              {DRM_FORMAT_YUYV, DRM_FORMAT_NV12, DRM_FORMAT_NV21, DRM_FORMAT_YUV420}),
	};
	return t;
}

// TI AM65x tidss (tidss_kms.c tidss_dispc_modeset_init()): one CRTC per video port with a
// bridge (here the HDMI bridge on VP1), its primary taken in vid_order {1, 0}, so plane 0 is
// the lite plane vidl1, which cannot scale (tidss_plane.c tidss_plane_atomic_check() "Lite
// plane ... can't scale", EINVAL); vid follows as an overlay. Every plane may go on every
// CRTC and lists RGB888. No primary plane is required.
topology preset_tidss_am65x()
{
	topology t = board("tidss", "TI Keystone DSS", 1, 1, 0x1);
	t.encoders[0].type = DRM_MODE_ENCODER_NONE;
	plane_def vidl1 = plane(DRM_PLANE_TYPE_PRIMARY, 0x1, rgb_formats());
	vidl1.refuses_scaling = true;
	t.planes = {vidl1, plane(DRM_PLANE_TYPE_OVERLAY, 0x1, rgb_formats())};
	return t;
}

namespace
{

// A simple-kms driver with an HDMI-A output (drm_simple_kms_helper.c): one primary plane, no
// scaling, covering the CRTC (drm_simple_kms_plane_atomic_check()).
topology simple_kms(bool kernel_4_19)
{
	topology t = board("simple-hdmi", "simple display pipe", 1, 1, 0x1);
	t.planes = {covering(
	        unscaled(plane(DRM_PLANE_TYPE_PRIMARY, 0x1,
	                       {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888, DRM_FORMAT_RGB565})))};
	if (kernel_4_19) {
		// drm_simple_kms_crtc_check() up to 5.19: has_primary != enable is EINVAL.
		t.crtcs[0].primary_matches_enable = true;
	} else {
		// 6.x: drm_atomic_helper_check_crtc_state(); RMFB switches the pipe off.
		t.crtcs[0].needs_primary = true;
		t.driver.simple_display_pipe = true;
	}
	return t;
}

} // namespace

topology preset_simple_kms_4_19()
{
	return simple_kms(true);
}

topology preset_simple_kms_6_1()
{
	return simple_kms(false);
}

// simpledrm (tiny/simpledrm.c) on a Raspberry Pi 3's firmware framebuffer, 1024x768 XRGB8888,
// as tests/sim/kernel-probes/simpledrm.txt recorded it: one fixed mode of the framebuffer's size
// (simpledrm_mode(): clock 60 * w * h / 1000) on a connector of type Unknown, objects made plane,
// CRTC, encoder, connector (simpledrm_device_create()), no vblank (WAIT_VBLANK EOPNOTSUPP). The
// plane lists the native format, then what drm_fb_build_fourcc_list() can convert to it
// (drm_format_helper.c): RG24 read with the first byte as red (drm_fb_rgb888_to_xrgb8888_line()).
// Framebuffers at least the mode's size (mode_config.min_width, min_height: ADDFB2 EINVAL), no
// scaling or positioning (drm_plane_helper_atomic_check()), an enabled CRTC needs its primary
// (drm_atomic_helper_check_crtc_state()), damage clips on the plane.
topology preset_simpledrm()
{
	topology t =
	        board("simpledrm", "DRM driver for simple-framebuffer platform devices", 1, 1, 0x1);
	t.driver.vblank = false;
	t.driver.preferred_depth = 32;
	t.driver.rg24_red_first = true;
	t.driver.min_width = 1024;
	t.driver.min_height = 768;
	t.driver.max_width = 4096; // DRM_SHADOW_PLANE_MAX_WIDTH
	t.driver.max_height = 4096;
	t.encoders[0].type = DRM_MODE_ENCODER_NONE;
	t.connectors[0].type = DRM_MODE_CONNECTOR_Unknown;
	mode_def fixed = mode(1024, 768, 60, 47185, true);
	fixed.no_blanking = true;
	t.connectors[0].modes = {fixed};
	t.crtcs[0].needs_primary = true;
	plane_def primary = covering(unscaled(plane(
	        DRM_PLANE_TYPE_PRIMARY, 0x1,
	        {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888, DRM_FORMAT_RGB565, DRM_FORMAT_RGB888})));
	primary.damage_clips = true;
	t.planes = {primary};
	using kind = driver_def::object_kind;
	t.driver.creation_order = {kind::planes, kind::crtcs, kind::encoders, kind::connectors};
	return t;
}

// Exynos4210 FIMD (exynos/exynos_drm_fimd.c) through MIPI-DSI to a 720x1280 panel-simple panel
// (lg,lh500wx1-sd03, clock 67000), as tests/sim/kernel-probes/exynos4210.txt recorded it: the
// five windows in fimd_bind() order (primary, three overlays, cursor), each listing
// fimd_extended_formats (no RG24) with an immutable zpos of its index, the overlays and the cursor
// with pixel blend mode and alpha (exynos_plane_init(), capabilities[]); then the CRTC, the DSI
// encoder (TMDS, drm_simple_encoder_init() in exynos_dsi_bind()) and the panel's connector, made
// when the panel attaches (exynos_dsi_host_attach()). No plane scales: any other source size is
// exynos_drm_plane_check_size()'s ENOTSUPP; no plane needs to cover the CRTC, none is required.
// ADDFB2 takes any format (exynos_user_fb_create()), the plane check then refuses RG24. Dumb
// buffers report pitch * height (exynos_drm_gem_dumb_create()); fb sizes up to 4096x4096
// (exynos_drm_mode_config_init()).
topology preset_exynos4210()
{
	topology t = board("exynos", "Samsung SoC DRM", 1, 1, 0x1);
	t.driver.version_minor = 1;
	t.driver.preferred_depth = 0;
	t.driver.max_width = 4096;
	t.driver.max_height = 4096;
	t.driver.fb_any_format = true;
	t.driver.dumb_size_in_pages = false;
	t.connectors[0].type = DRM_MODE_CONNECTOR_DSI;
	t.connectors[0].modes = {mode(720, 1280, 61, 67000, true)};
	t.connectors[0].made_on_attach = true;
	const std::vector<uint32_t> formats = {
	        DRM_FORMAT_C8,       DRM_FORMAT_XRGB1555, DRM_FORMAT_XBGR1555,
	        DRM_FORMAT_RGB565,   DRM_FORMAT_BGR565,   DRM_FORMAT_XRGB8888,
	        DRM_FORMAT_XBGR8888, DRM_FORMAT_ARGB8888, DRM_FORMAT_ABGR8888};
	for (int win = 0; win < 5; win++) {
		const uint32_t type = win == 0   ? DRM_PLANE_TYPE_PRIMARY
		                      : win == 4 ? DRM_PLANE_TYPE_CURSOR
		                                 : DRM_PLANE_TYPE_OVERLAY;
		plane_def p = at_zpos(plane(type, 0x1, formats), win);
		p.immutable_zpos = true;
		p.blend_mode = p.alpha = win > 0;
		p.refuses_scaling = true;
		p.scaling_refusal = 524; // ENOTSUPP
		t.planes.push_back(p);
	}
	using kind = driver_def::object_kind;
	t.driver.creation_order = {kind::planes, kind::crtcs, kind::encoders, kind::connectors};
	return t;
}

// Without fbdev emulation nothing commits a configuration at boot: the state stays as the reset
// helpers made it (__drm_atomic_helper_crtc_reset(), __drm_atomic_helper_connector_reset():
// no mode, not active, no CRTC and no best encoder, which GETCONNECTOR and GETENCODER report as
// 0 through drm_connector_get_encoder() and drm_encoder_get_crtc()), drm_fb_helper is absent
// and drm_lastclose() has no console to restore. This holds for the boards whose fbdev picks
// its CRTCs as for those lit by the topology.
topology without_console(topology t)
{
	t.driver.fbdev = false;
	t.driver.fbdev_picks_crtcs = false;
	for (crtc_def &c : t.crtcs)
		c.active = false;
	for (connector_def &c : t.connectors)
		c.bound_encoder = -1;
	for (encoder_def &e : t.encoders)
		e.crtc = -1;
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
        {"rk3399-vopl-first", preset_rk3399_vopl_first},
        {"rk3399-vopb-first", preset_rk3399_vopb_first},
        {"rk356x-vop2", preset_rk356x_vop2},
        {"vc4-pi4-6.1", preset_vc4_pi4_6_1},
        {"vc4-pi4-4.19", preset_vc4_pi4_4_19},
        {"sun8i-h3", preset_sun8i_h3},
        {"sun50i-a64", preset_sun50i_a64},
        {"imx8mp-lcdif", preset_imx8mp_lcdif},
        {"imx6-ipuv3", preset_imx6_ipuv3},
        {"meson-gxl", preset_meson_gxl},
        {"tidss-am65x", preset_tidss_am65x},
        {"simple-kms-4.19", preset_simple_kms_4_19},
        {"simple-kms-6.1", preset_simple_kms_6_1},
        {"simpledrm", preset_simpledrm},
        {"exynos4210", preset_exynos4210},
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
