// The virtual KMS card: a userspace stand-in for the kernel's DRM/KMS interface.
//
// It sits underneath the real libdrm by interposing the C library calls that reach the kernel
// (open/openat and variants for "/dev/dri/card0" and "card1", ioctl, mmap, munmap, read, close).
// Linked into a test executable, the test builds a card with sim::install() and inspects it through
// the functions below; as an LD_PRELOAD library (libsimkms_preload.so) it reads its card from the
// file named by SIMKMS_CONFIG and is controlled through a Unix socket (see sim/control.h).
//
// Object ids, property ids and blob ids are handed out in creation order as the kernel does.
// Every function here is thread-safe.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <drm_mode.h>
#include <xf86drmMode.h> // DRM_PLANE_TYPE_*

namespace sim
{

// One display mode; a drm_mode_modeinfo is built from it with CVT-like timings.
struct mode_def {
	uint16_t hdisplay = 0;
	uint16_t vdisplay = 0;
	uint32_t vrefresh = 60;
	bool preferred = false;
	uint32_t clock = 0; // kHz; 0 computes one from the size and refresh
	std::string name;   // empty gives "<h>x<v>"
	// No blanking and no sync flags: the totals are the size, as DRM_MODE_INIT() makes a
	// firmware framebuffer's fixed mode (simpledrm_mode()).
	bool no_blanking = false;
};

struct connector_def {
	uint32_t type = DRM_MODE_CONNECTOR_HDMIA;
	bool connected = true;
	std::vector<mode_def> modes;
	// Encoders (indices into topology::encoders) this connector can use; the first is bound
	// at start when bound_encoder is unset.
	std::vector<int> encoders;
	std::optional<int> bound_encoder; // -1 for none
	// An EDID property with a blob describing the preferred mode (as QEMU's display devices
	// give one), created when the connector is (bochs reads it at init) or at the first probe
	// (virtio_gpu's answer to its GET_EDID request arrives after every object exists). Without
	// it a connector carries EDID=0 (a connector type that attaches EDID at init) or no EDID
	// property at all (Virtual). An EDID read at probe time is read again on every hot-plug
	// (set_connected), for every such connector: each gets a new blob and the old one is freed.
	enum class edid_blob { none, at_init, at_probe };
	edid_blob edid = edid_blob::none;
	// The connector is not part of the card until set_connected(i, true) adds it, as a DSI
	// panel whose panel driver binds after the display driver (exynos_dsi_host_attach() calls
	// drm_connector_init() and drm_connector_register(), then the kernel sends a hot-plug
	// uevent naming it). Until then GETRESOURCES does not list it and its id is unknown; added,
	// it takes the lowest free object id (drm_mode_object_add()) and stays: a later disconnect
	// only disconnects it. `connected` and bound_encoder are not read.
	bool late = false;
	// Made when its panel attaches, so late while nothing is (exynos_dsi_host_attach()).
	bool made_on_attach = false;
};

struct encoder_def {
	uint32_t type = DRM_MODE_ENCODER_TMDS;
	uint32_t possible_crtcs = 0x1; // bit i: CRTC index i
	// The CRTC index the encoder drives at start; unset: the first active CRTC among
	// possible_crtcs when a connected connector is bound to the encoder; -1: none.
	std::optional<int> crtc;
};

struct crtc_def {
	// A CRTC that starts active shows `mode` (as fbdev emulation leaves it at boot).
	bool active = false;
	mode_def mode;
	// An enabled CRTC needs its primary plane (EINVAL otherwise), as
	// drm_atomic_helper_check_crtc_state() with can_disable_primary_planes false (6.x
	// simple-kms, ipuv3, mxsfb, LCDIF).
	bool needs_primary = false;
	// The 4.19 simple-kms rule (drm_simple_kms_crtc_check()): the primary plane is on the CRTC
	// exactly when the CRTC is enabled, EINVAL in both directions.
	bool primary_matches_enable = false;
	// The largest mode the CRTC drives (0: any); a mode set beyond it is EINVAL, as the
	// driver's crtc mode_valid refuses it (rockchip vop_crtc_mode_valid()).
	uint16_t max_hdisplay = 0, max_vdisplay = 0;
};

struct plane_def {
	uint32_t type = DRM_PLANE_TYPE_OVERLAY; // DRM_PLANE_TYPE_{OVERLAY,PRIMARY,CURSOR}
	uint32_t possible_crtcs = 0x1;
	std::vector<uint32_t> formats;
	// Scaling limits in 16.16 (source over destination) as the driver hands them to
	// drm_atomic_helper_check_plane_state(); a scale outside is ERANGE. Unset: the driver's
	// can_scale.
	std::optional<int32_t> min_scale, max_scale;
	// The plane's own check refuses any scaling with EINVAL (tidss_plane_atomic_check() on a
	// lite plane), or only for framebuffers of these formats when some are listed
	// (sun4i_backend_atomic_check(): the frontend that scales has no RGB888).
	bool refuses_scaling = false;
	std::vector<uint32_t> refuses_scaling_formats;
	// The errno of that refusal: exynos_drm_plane_check_size() gives the kernel's ENOTSUPP
	// (524), which has no name in user space.
	int scaling_refusal = EINVAL;
	// The plane may sit anywhere on its CRTC; false: visible, it must cover the whole CRTC
	// (EINVAL). Unset: the driver's can_position, which binds primary planes only.
	std::optional<bool> can_position;
	// Blending order on the screen, lowest first. Unset: primary, overlays in list order,
	// cursor.
	std::optional<int> zpos;
	// The plane carries FB_DAMAGE_CLIPS (drm_plane_enable_fb_damage_clips()). fbdev's console
	// on it has flushed its drawing through drm_atomic_helper_dirtyfb(), whose damage blob
	// stays in the plane's state until the next commit duplicates it without one.
	bool damage_clips = false;
	// The plane's own properties, made in this order right after it and its IN_FORMATS blob.
	// "zpos" fixed at the zpos above (drm_plane_create_zpos_immutable_property()).
	bool immutable_zpos = false;
	// "pixel blend mode", Pre-multiplied at start (drm_plane_create_blend_mode_property()).
	bool blend_mode = false;
	// "alpha", 0 to 0xffff, opaque at start (drm_plane_create_alpha_property()).
	bool alpha = false;
};

// Where real drivers differ, the card follows these settings.
struct driver_def {
	std::string name = "simkms";
	// Planes scale their source to any CRTC rectangle (atomic helpers with scaling allowed).
	// When false a source size different from the CRTC size is refused with ERANGE.
	bool can_scale = true;
	// WAIT_VBLANK works; when false it fails with EOPNOTSUPP, as on drivers without vblank.
	bool vblank = true;
	// Bits per pixel that CREATE_DUMB accepts; empty accepts every multiple of 8.
	std::vector<uint32_t> dumb_bpp;
	// Pitch alignment in bytes for dumb buffers (GEM helpers: 1; some drivers use 64 or more).
	uint32_t pitch_align = 1;
	// CREATE_DUMB's size in whole pages; false: pitch * height (exynos_drm_gem_dumb_create()).
	bool dumb_size_in_pages = true;
	// Formats ADDFB2 accepts; empty accepts every format some plane offers.
	std::vector<uint32_t> fb_formats;
	// ADDFB2 takes any format the core knows, fb_formats unread (exynos_user_fb_create()).
	bool fb_any_format = false;
	// Formats atomic commits accept on a plane; empty accepts every format the plane lists.
	// (vkms accepts RG24 at ADDFB2 but refuses it in a commit.)
	std::optional<std::vector<uint32_t>> commit_formats;
	uint32_t min_width = 0, min_height = 0, max_width = 8192, max_height = 8192;
	// Reading the screen: RG24 memory bytes in the DRM order (blue at the lowest address), or
	// red first as some vendor drivers scan it out.
	bool rg24_red_first = false;
	// A blocking commit returns only after the next vblank, as on hardware. Off by default so
	// tests run fast; events are still delivered after the vblank's timestamp.
	bool commit_waits_vblank = false;
	// A primary plane may sit anywhere on its CRTC. When false a visible primary plane must
	// cover the whole CRTC (EINVAL otherwise), as on simple display pipes (cirrus, bochs).
	bool can_position = true;
	// The driver builds its output from a simple display pipe (one primary plane, CRTC and
	// encoder), whose CRTC check refuses an enabled CRTC without a primary plane (EINVAL),
	// after every plane check. Removing the framebuffer such a CRTC shows then fails to switch
	// off only the plane, so RMFB switches the CRTC off as well (cirrus, bochs).
	bool simple_display_pipe = false;
	// When a commit disables a CRTC (no mode) while a plane the commit does not mention still
	// shows a framebuffer on it, the atomic helpers refuse the commit with EINVAL ("Cannot
	// update plane of a disabled CRTC"). When true such planes are switched off with their
	// CRTC instead, as some drivers effectively do.
	bool disable_planes_with_crtc = false;
	// ADDFB2 accepts format modifiers (cap ADDFB2_MODIFIERS) and planes carry an IN_FORMATS
	// blob; virtio_gpu has neither.
	bool fb_modifiers = true;
	// Dumb buffers come from memory that stays resident and mapped, as with the contiguous
	// (CMA) allocators of embedded display controllers: a destroyed buffer's memory is zeroed
	// and handed to the next buffer of the same size, and an unmapped mapping is kept for the
	// next mmap of it. Off by default: an access after munmap then faults instead of landing
	// in a later buffer. On this kind of host every first touch of a fresh page costs several
	// microseconds, which would otherwise dwarf what the player itself does per frame.
	bool resident_buffers = false;
	uint32_t preferred_depth = 0;          // cap DUMB_PREFERRED_DEPTH
	std::string desc = "virtual KMS card"; // VERSION's description
	int version_major = 1, version_minor = 0, version_patchlevel = 0; // VERSION's numbers
	uint32_t cursor_width = 64, cursor_height = 64; // caps CURSOR_WIDTH and CURSOR_HEIGHT
	// A visible plane's framebuffer must fit the scan-out engine: a pitch of at most
	// max_scanout_pitch bytes and pitch * height of at most scanout_memory bytes (0: no limit),
	// else the commit fails with EINVAL. An XR24 framebuffer whose pitch is too large is
	// scanned out converted to RG24, or to RG16 when RG24 is too wide as well (cirrus).
	uint32_t max_scanout_pitch = 0;
	uint64_t scanout_memory = 0;
	// fbdev emulation: at start every lit CRTC shows the console's framebuffer (black, the
	// mode's size, RG16 when preferred_depth is 16, else XR24) on its primary plane. It belongs
	// to no file, so no file can remove it; when the last file closes the console takes the
	// screen back as it was at start.
	bool fbdev = false;
	// fbdev emulation picks its own outputs (drm_client_pick_crtcs()): each connected connector
	// gets the lowest-index free CRTC its encoder can drive, lit with the connector's preferred
	// mode, the console on that CRTC's primary plane. crtc_def::active is then not read.
	bool fbdev_picks_crtcs = false;
	// The order in which the driver creates its mode objects; their ids follow it. Blobs come
	// with their objects (IN_FORMATS with its plane, an EDID read at init with its connector).
	enum class object_kind { planes, crtcs, connectors, encoders };
	std::vector<object_kind> creation_order = {object_kind::planes, object_kind::crtcs,
	                                           object_kind::connectors, object_kind::encoders};
	// Ids taken after those objects by objects that clients never see (vkms's writeback
	// connector, its properties and its blob).
	uint32_t hidden_ids = 0;
};

struct topology {
	driver_def driver;
	std::vector<connector_def> connectors;
	std::vector<encoder_def> encoders;
	std::vector<crtc_def> crtcs;
	std::vector<plane_def> planes;
	// "/dev/dri/card0" is a render-only driver registered before the display driver (vgem, or
	// a GPU driver such as v3d, etnaviv, panfrost or lima probing before the display
	// controller), and this card is "/dev/dri/card1". The render-only file answers as a 6.1
	// driver without DRIVER_MODESET: VERSION names vgem, GET_CAP answers only the caps of
	// render-only drivers, everything else is EOPNOTSUPP. Its requests are not recorded.
	// Without it card0 is this card and card1 does not exist (ENOENT).
	bool render_card0 = false;
	// With render_card0: "/dev/dri/card1" appears only this long after install() (in the
	// preload library, the first open of either card); before that opening it is ENOENT.
	int display_card_delay_ms = 0;
};

// Ready topologies (sim/presets.cpp).
topology preset_hdmi_1080p();         // one HDMI-A monitor, 1920x1080 and several smaller modes
topology preset_dp_then_hdmi();       // connected DisplayPort listed before connected HDMI-A
topology preset_hdmi_then_dp();       // the same, HDMI-A first
topology preset_two_hdmi();           // two connected HDMI-A monitors, two CRTCs
topology preset_disconnected();       // HDMI-A output, nothing attached
topology preset_connected_no_modes(); // HDMI-A connected but offering no modes
topology preset_cirrus(); // the four kernel drivers, as tests/sim/kernel-probes records them
topology preset_bochs();
topology preset_virtio();
topology preset_vkms();
// Display drivers of AArch64 boards, each as the kernel builds it, the console lit.
topology preset_rk3399_vopl_first();
topology preset_rk3399_vopb_first();
topology preset_rk356x_vop2();
topology preset_vc4_pi4_6_1();
topology preset_vc4_pi4_4_19();
topology preset_sun8i_h3();
topology preset_sun50i_a64();
topology preset_imx8mp_lcdif();
topology preset_imx6_ipuv3();
topology preset_meson_gxl();
topology preset_tidss_am65x();
topology preset_simple_kms_4_19();
topology preset_simple_kms_6_1();
topology preset_simpledrm();
topology preset_exynos4210(); // 32-bit ARM: Exynos4210 FIMD to a MIPI-DSI panel
// The board as the kernel leaves it when no fbdev emulation set a mode (a kernel without
// CONFIG_DRM_FBDEV_EMULATION, or drm_kms_helper.fbdev_emulation=0): every CRTC off, no connector
// bound to an encoder, no encoder on a CRTC, no console framebuffer and nothing for the last
// close to restore.
topology without_console(topology t);
// Looks a preset up by name ("hdmi-1080p", "dp-then-hdmi", ..., "cirrus", "vkms").
std::optional<topology> preset(std::string_view name);
// Every preset's name, in the order of the table above.
std::vector<std::string_view> preset_names();

// Replaces the card with a new one built from `t`. Descriptors still open on the old card keep
// working as files of the new card with their client capabilities (the player keeps its
// descriptor for the whole process while tests install a card each); what they held on the old
// card (GEM handles, framebuffers, blobs, pending events) is gone. Faults and records start
// empty.
void install(const topology &t);

// Whether the process has CAP_SYS_ADMIN, which a file that never was master needs for
// SET_MASTER and DROP_MASTER (EACCES without). Each install() sets it, as for a boot service run
// as root.
void set_sys_admin(bool has);

// Ids of the installed card's objects, by index in the topology.
uint32_t connector_id(int index);
uint32_t encoder_id(int index);
uint32_t crtc_id(int index);
uint32_t plane_id(int index);

// Hot-plug: the connector's state and mode list change as after a real hot-plug (no uevent is
// sent; tests send their own). An empty mode list keeps the topology's modes. Connectors whose
// EDID is read at probe time get a new EDID blob, in connector order. A late connector not yet
// added is added by connecting it (connector_def::late).
void set_connected(int connector_index, bool connected, std::vector<mode_def> modes = {});

// --- faults ---------------------------------------------------------------------------------
// Requests are named as the kernel's ioctl names without the DRM_IOCTL_ prefix
// ("MODE_CREATE_DUMB", "MODE_ATOMIC", "MODE_GETCONNECTOR", "WAIT_VBLANK", "SET_CLIENT_CAP", ...).
// Makes a request fail with `err`: the nth call from now (1 is the next one), or every call
// when nth is 0. `object_id` limits the fault to requests naming that object (GETCONNECTOR,
// GETCRTC, GETPLANE, GETENCODER, OBJ_GETPROPERTIES, GETPROPERTY, GETPROPBLOB).
void fail_request(std::string_view request, int err, int nth = 0, uint32_t object_id = 0);
void fail_mmap(int err, int nth = 0);
void fail_open(int err);
void clear_faults();

// --- records --------------------------------------------------------------------------------
// A request's fields by name, kept sorted: a flat list, as a request has a few and the card
// records every request it serves.
struct field_list {
	using entry = std::pair<std::string, uint64_t>;
	uint64_t &operator[](std::string_view name);
	const entry *find(std::string_view name) const;
	std::vector<entry>::const_iterator begin() const
	{
		return entries.begin();
	}
	std::vector<entry>::const_iterator end() const
	{
		return entries.end();
	}
	std::vector<entry> entries;
};

struct request_record {
	std::string name;  // "MODE_CREATE_DUMB", ...
	field_list fields; // the request's arguments and replies by kernel field name ("width",
	                   // "bpp", "handle", "pitch")
	int error = 0;     // 0, or the errno the card returned
	uint64_t field(const std::string &f) const;
};

struct prop_triple {
	uint32_t object_id = 0;
	uint32_t object_type = 0; // DRM_MODE_OBJECT_*, 0 when the object is unknown
	std::string name;         // the property's name, empty when the id is unknown
	uint32_t prop_id = 0;
	uint64_t value = 0;
	bool operator==(const prop_triple &) const = default;
};

struct commit_record {
	uint32_t flags = 0;
	int error = 0;
	std::vector<prop_triple> props; // in the order the request carried them
};

// Every request since install() or clear_records() (at most the latest 100000; a long-running
// card drops the oldest tenth when full).
std::vector<request_record> requests();
std::vector<commit_record> commits(); // every MODE_ATOMIC request, refused ones included
void clear_records();

struct live_counts {
	int files = 0;        // open descriptors of the display card
	int dumb_buffers = 0; // GEM objects alive: held by a handle, a framebuffer or a mapping
	                      // (the file's close drops its handles and framebuffers)
	int mappings = 0;     // mmaps of dumb buffers not yet unmapped
	int framebuffers = 0; // made by files (ADDFB2); the console's framebuffer is not counted
	int blobs = 0;        // user-created blobs (CREATEPROPBLOB) still alive: not destroyed,
	                      // or destroyed while still a CRTC's MODE_ID (as the kernel keeps it)
	bool master = false;  // a file is the card's master (the first opener until it drops
	                      // mastership or closes, or one that took it with SET_MASTER)
};
live_counts live();

// --- state ----------------------------------------------------------------------------------
// A property's current value on an object (nullopt when the object lacks it).
std::optional<uint64_t> property_value(uint32_t object_id, std::string_view name);
// Vblank counter of a pipe, advancing at its mode's refresh rate while the CRTC is active.
uint64_t vblank_count(int crtc_index);
// Threads blocked in WAIT_VBLANK on a pipe (not those that asked for an event).
int vblank_waiters(int crtc_index);

// --- the picture ----------------------------------------------------------------------------
struct image {
	uint32_t width = 0;
	uint32_t height = 0;
	std::vector<uint8_t> rgb; // width * height * 3 bytes, red first
	const uint8_t *pixel(uint32_t x, uint32_t y) const
	{
		return &rgb[(size_t(y) * width + x) * 3];
	}
};
// What a CRTC shows: its visible planes composed in z order (zpos, or primary, overlays in list
// order, cursor) onto the mode, black outside every plane; an inactive CRTC gives an empty image.
// Scaling is nearest-neighbour: screen pixel (crtc_x + i, crtc_y + j) shows source pixel
// (sx + i * sw / crtc_w, sy + j * sh / crtc_h), with sx, sy, sw, sh the 16.16 source rectangle
// taken in whole pixels and integer division. Alpha is ignored.
image screen(int crtc_index);
// Writes an image as binary PPM (P6) or PNG; false when the file cannot be written.
bool write_ppm(const image &img, const std::string &path);
bool write_png(const image &img, const std::string &path);

} // namespace sim
