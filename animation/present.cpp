#include "animation/present.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "display/display.h"

namespace
{

// The plane properties of one commit, in the order they are added to the request.
constexpr std::array<std::string_view, 10> k_plane_props = {
        "CRTC_ID", "FB_ID",  "SRC_X",  "SRC_Y",  "SRC_W",
        "SRC_H",   "CRTC_X", "CRTC_Y", "CRTC_W", "CRTC_H",
};

// libdrm's legacy and extended property type bits; pending and immutable are left out.
constexpr uint32_t k_prop_type_mask = 0xfffa;

// How the run's frames reach the screen. Chosen once, after the first refusal of the stretched
// commit, and kept for the run while the mode stays; used by the player on the worker thread
// alone.
struct run_fit {
	frame_fit fit = frame_fit::stretched;
	uint32_t plane_id = 0; // 0: the first plane that offers the format, as without a choice
	bool chosen = false;
	uint16_t mode_w = 0, mode_h = 0;
};
run_fit g_fit;

// A plane's source and CRTC rectangles, in the order of k_plane_props after FB_ID.
struct plane_rect {
	uint32_t src_x, src_y, src_w, src_h;
	int32_t crtc_x, crtc_y;
	uint32_t crtc_w, crtc_h;
};

// The whole buffer over the whole mode.
plane_rect stretched(const bo *b, const drmModeModeInfo &mode)
{
	return {0, 0, b->width, b->height, 0, 0, mode.hdisplay, mode.vdisplay};
}

// The buffer at its own size in the middle of the mode; a buffer larger than the mode is
// cropped to its middle part.
plane_rect centred(const bo *b, const drmModeModeInfo &mode)
{
	const uint32_t w = std::min<uint32_t>(b->width, mode.hdisplay);
	const uint32_t h = std::min<uint32_t>(b->height, mode.vdisplay);
	return {(b->width - w) / 2,
	        (b->height - h) / 2,
	        w,
	        h,
	        int32_t((mode.hdisplay - w) / 2),
	        int32_t((mode.vdisplay - h) / 2),
	        w,
	        h};
}

bool is_named(const drmModePropertyRes *prop, std::string_view name)
{
	return prop && name == prop->name;
}

// The first CRTC of the list whose "ACTIVE" is non-zero; CRTCs that cannot be read are
// passed over, and reported with `say`.
crtc_holder find_active_crtc(int fd, const drmModeRes *res, bool say = true)
{
	for (int i = 0; i < res->count_crtcs; i++) {
		crtc_holder crtc(drmModeGetCrtc(fd, res->crtcs[i]));
		if (!crtc) {
			if (say)
				printf("Could not get crtc %u: %s\n", res->crtcs[i],
				       strerror(errno));
			continue;
		}
		props_holder props(
		        drmModeObjectGetProperties(fd, crtc->crtc_id, DRM_MODE_OBJECT_CRTC));
		if (!props) {
			if (say)
				printf("failed to found props crtc[%d] %s\n",
				       static_cast<int>(crtc->crtc_id), strerror(errno));
			continue;
		}
		bool active = false;
		for (uint32_t j = 0; j < props->count_props && !active; j++) {
			property_holder prop(drmModeGetProperty(fd, props->props[j]));
			active = is_named(prop.get(), "ACTIVE") && props->prop_values[j] != 0;
		}
		if (active)
			return crtc;
	}
	return nullptr;
}

// The first plane of the list that offers `format` and may be on the CRTC of `crtc_bit` (the
// kernel refuses any other), from position `from` on; planes that cannot be read are passed
// over. `at` gets the plane's position.
plane_holder find_plane(int fd, const drmModePlaneRes *planes, uint32_t format, uint32_t crtc_bit,
                        uint32_t from = 0, uint32_t *at = nullptr)
{
	for (uint32_t i = from; i < planes->count_planes; i++) {
		plane_holder plane(drmModeGetPlane(fd, planes->planes[i]));
		if (!plane || !(plane->possible_crtcs & crtc_bit))
			continue;
		if (at)
			*at = i;
		for (uint32_t f = 0; f < plane->count_formats; f++)
			if (plane->formats[f] == format)
				return plane;
	}
	return nullptr;
}

// Copies the current mode of the encoder's CRTC out of its "MODE_ID" blob. False, with the
// message where there is one, when there is no usable mode.
bool read_mode(int fd, drmModeModeInfo *mode)
{
	auto encoder = g_drm_encoder.get();
	if (!encoder)
		return false;
	props_holder props(drmModeObjectGetProperties(fd, encoder->crtc_id, DRM_MODE_OBJECT_CRTC));
	if (!props) {
		printf("drmmode_getproperty: no properties on crtc[%d] %s\n",
		       static_cast<int>(encoder->crtc_id), strerror(errno));
		return false;
	}
	for (uint32_t j = 0; j < props->count_props; j++) {
		property_holder prop(drmModeGetProperty(fd, props->props[j]));
		if (!is_named(prop.get(), "MODE_ID"))
			continue;
		if ((prop->flags & k_prop_type_mask) != DRM_MODE_PROP_BLOB) {
			printf("%s:line=%d,is not blob", "drmmode_getproperty", 78);
			return false;
		}
		uint32_t blob_id = prop->count_blobs ? prop->blob_ids[0]
		                                     : static_cast<uint32_t>(props->prop_values[j]);
		blob_holder blob(drmModeGetPropertyBlob(fd, blob_id));
		// A blob shorter than one mode record is as good as none: never read past its end.
		if (!blob || blob->length < sizeof(drmModeModeInfo)) {
			printf("%s:line=%d, blob is null\n", "drmmode_getproperty", 89);
			return false;
		}
		memcpy(mode, blob->data, sizeof(drmModeModeInfo));
		return true;
	}
	return false;
}

// An object's current value of the property `name`, if it has one.
std::optional<uint64_t> object_value(int fd, uint32_t object_id, uint32_t type,
                                     std::string_view name, uint32_t *prop_id = nullptr)
{
	props_holder props(drmModeObjectGetProperties(fd, object_id, type));
	for (uint32_t j = 0; props && j < props->count_props; j++) {
		property_holder prop(drmModeGetProperty(fd, props->props[j]));
		if (!is_named(prop.get(), name))
			continue;
		if (prop_id)
			*prop_id = prop->prop_id;
		return props->prop_values[j];
	}
	return std::nullopt;
}

std::optional<uint64_t> plane_value(int fd, uint32_t plane_id, std::string_view name,
                                    uint32_t *prop_id = nullptr)
{
	return object_value(fd, plane_id, DRM_MODE_OBJECT_PLANE, name, prop_id);
}

// Whether plane `a` (at position ia of the list) is scanned out above plane `b`: by their
// "zpos" where both have one (ties go to the higher id, as the kernel orders them), else
// primary below overlays below cursors, later in the list above.
bool above(int fd, uint32_t a, uint32_t ia, uint32_t b, uint32_t ib)
{
	auto za = plane_value(fd, a, "zpos"), zb = plane_value(fd, b, "zpos");
	if (za && zb)
		return *za != *zb ? *za > *zb : a > b;
	auto rank = [&](uint32_t id) {
		uint64_t type = plane_value(fd, id, "type").value_or(DRM_PLANE_TYPE_OVERLAY);
		return type == DRM_PLANE_TYPE_PRIMARY ? 0 : type == DRM_PLANE_TYPE_CURSOR ? 2 : 1;
	};
	int ra = rank(a), rb = rank(b);
	return ra != rb ? ra > rb : ia > ib;
}

// A plane to take off the screen: its id with the ids of its "FB_ID" and "CRTC_ID".
struct plane_off {
	uint32_t plane_id, fb_prop, crtc_prop;
};

// The planes on the CRTC that show the console above the frame's plane and would hide it; with
// `below_too` also those under it, which would show around a frame smaller than the mode.
std::vector<plane_off> covering_console(int fd, const drmModePlaneRes *planes, uint32_t crtc_id,
                                        uint32_t frame_plane, bool below_too = false)
{
	std::vector<plane_off> off;
	uint32_t frame_at = 0;
	for (uint32_t i = 0; i < planes->count_planes; i++)
		if (planes->planes[i] == frame_plane)
			frame_at = i;
	for (uint32_t i = 0; i < planes->count_planes; i++) {
		plane_holder p(drmModeGetPlane(fd, planes->planes[i]));
		if (!p || p->plane_id == frame_plane || p->crtc_id != crtc_id ||
		    !drm_is_console_fb(p->fb_id) ||
		    (!below_too && !above(fd, p->plane_id, i, frame_plane, frame_at)))
			continue;
		plane_off o{p->plane_id, 0, 0};
		plane_value(fd, p->plane_id, "FB_ID", &o.fb_prop);
		plane_value(fd, p->plane_id, "CRTC_ID", &o.crtc_prop);
		off.push_back(o);
	}
	return off;
}

// The ids of the plane's properties named in k_plane_props; a name the plane lacks keeps id 0
// and is added all the same. False, with the message, when the list cannot be read; the list
// stays in `plane_props`.
bool plane_prop_ids(int fd, uint32_t plane_id, std::array<uint32_t, 10> &ids,
                    props_holder &plane_props)
{
	plane_props.reset(drmModeObjectGetProperties(fd, plane_id, DRM_MODE_OBJECT_PLANE));
	if (!plane_props) {
		printf("failed to found props plane[%d] %s\n", static_cast<int>(plane_id),
		       strerror(errno));
		return false;
	}
	ids = {};
	for (uint32_t j = 0; j < plane_props->count_props; j++) {
		property_holder prop(drmModeGetProperty(fd, plane_props->props[j]));
		if (!prop)
			continue;
		for (size_t n = 0; n < k_plane_props.size(); n++)
			if (k_plane_props[n] == prop->name)
				ids[n] = prop->prop_id;
	}
	return true;
}

// One atomic commit of the frame on the plane; with `test_only` the kernel only answers, and
// a refusal is not reported.
bool commit_plane(int fd, const bo *b, uint32_t crtc_id, uint32_t plane_id,
                  const std::array<uint32_t, 10> &ids, const plane_rect &r,
                  const std::vector<plane_off> &off, bool test_only = false)
{
	atomic_holder req(drmModeAtomicAlloc());
	if (!req) {
		printf("atomic: couldn't allocate request\n");
		return false;
	}
	const std::array<uint64_t, 10> values = {
	        crtc_id,
	        b->fb_id,
	        uint64_t(r.src_x) << 16,
	        uint64_t(r.src_y) << 16,
	        uint64_t(r.src_w) << 16,
	        uint64_t(r.src_h) << 16,
	        uint64_t(int64_t(r.crtc_x)),
	        uint64_t(int64_t(r.crtc_y)),
	        r.crtc_w,
	        r.crtc_h,
	};
	for (size_t i = 0; i < values.size(); i++) {
		if (drmModeAtomicAddProperty(req.get(), plane_id, ids[i], values[i]) < 0)
			printf("Failed to add prop[%d] to [%d]", static_cast<int>(values[i]),
			       static_cast<int>(plane_id));
	}
	// The console's plane leaves the screen with the first frame, in the same commit.
	for (const plane_off &o : off)
		for (uint32_t prop : {o.fb_prop, o.crtc_prop})
			if (drmModeAtomicAddProperty(req.get(), o.plane_id, prop, 0) < 0)
				printf("Failed to add prop[%d] to [%d]", 0,
				       static_cast<int>(o.plane_id));
	const uint32_t flags =
	        DRM_MODE_ATOMIC_ALLOW_MODESET | (test_only ? DRM_MODE_ATOMIC_TEST_ONLY : 0u);
	if (drmModeAtomicCommit(fd, req.get(), flags, nullptr) != 0) {
		const int err = errno;
		if (!test_only)
			printf("atomic: couldn't commit new state: %s\n", strerror(err));
		errno = err;
		return false;
	}
	return true;
}

// What one presentation has found out about the card.
struct frame_target {
	const bo *b;
	uint32_t crtc_id, crtc_bit;
	const drmModePlaneRes *planes;
	drmModeModeInfo mode;
};

// Commits the frame on the first plane from position `from` on that accepts it with `r`, asked
// with TEST_ONLY first; the plane's id, or 0 when none accepts. With `console_off` the console
// leaves every other plane of the CRTC, so that only black is around a smaller frame.
uint32_t commit_on_accepting_plane(int fd, const frame_target &t, const plane_rect &r,
                                   uint32_t from, uint32_t skip_id, bool console_off = false)
{
	for (uint32_t at = from; at < t.planes->count_planes; at++) {
		plane_holder plane = find_plane(fd, t.planes, t.b->format, t.crtc_bit, at, &at);
		if (!plane)
			return 0;
		std::array<uint32_t, 10> ids{};
		props_holder props;
		if (plane->plane_id == skip_id || !plane_prop_ids(fd, plane->plane_id, ids, props))
			continue;
		std::vector<plane_off> off;
		if (g_console_may_cover.load() || console_off)
			off = covering_console(fd, t.planes, t.crtc_id, plane->plane_id,
			                       console_off);
		if (commit_plane(fd, t.b, t.crtc_id, plane->plane_id, ids, r, off, true) &&
		    commit_plane(fd, t.b, t.crtc_id, plane->plane_id, ids, r, off)) {
			g_console_may_cover.store(false);
			return plane->plane_id;
		}
	}
	return 0;
}

// The kernel's own ENOTSUPP, which user space has no name for: exynosdrm's plane check gives it
// for any scaling (exynos_drm_plane_check_size()).
constexpr int kernel_enotsupp = 524;

// Whether a refusal of the frame (`err`) is one that another plane, a placement or buffers of
// the mode's size may meet: the plane checks' scaling refusal (ERANGE, or a driver's ENOTSUPP),
// or their EINVAL (placement, or a format the plane takes only at framebuffer creation) while
// the CRTC keeps its mode. A CRTC switched off meanwhile refuses every frame with EINVAL too, and
// any other errno (EACCES, EBUSY, ENOMEM) has nothing to do with the frame's fit.
bool fit_may_help(int fd, uint32_t crtc_id, int err)
{
	if (err == ERANGE || err == kernel_enotsupp)
		return true;
	return err == EINVAL &&
	       object_value(fd, crtc_id, DRM_MODE_OBJECT_CRTC, "MODE_ID").value_or(0) != 0;
}

void choose(frame_fit fit, uint32_t plane_id, const drmModeModeInfo &mode)
{
	g_fit = {fit, plane_id, true, mode.hdisplay, mode.vdisplay};
}

// After the first refusal of the run: another plane that stretches the frame, else one that
// shows it at its own size, centred, else buffers of the mode's size (for the player to make;
// the frame refused here is left as it is). Reported once, as the choice is made once.
void choose_fit(int fd, const frame_target &t, uint32_t refused_plane)
{
	const bo *b = t.b;
	const drmModeModeInfo &m = t.mode;
	if (g_fit.fit == frame_fit::padded) {
		// The buffer of the mode's size, refused on the first plane: any other?
		if (uint32_t id =
		            commit_on_accepting_plane(fd, t, stretched(b, m), 0, refused_plane)) {
			printf("present: plane %u refused the frame, plane %u shows it\n",
			       refused_plane, id);
			choose(frame_fit::padded, id, m);
			return;
		}
		printf("present: no plane accepts the frames\n");
		choose(frame_fit::none, 0, m);
		return;
	}
	if (uint32_t id = commit_on_accepting_plane(fd, t, stretched(b, m), 0, refused_plane)) {
		printf("present: plane %u cannot show %ux%u over %ux%u, plane %u stretches it\n",
		       refused_plane, b->width, b->height, m.hdisplay, m.vdisplay, id);
		choose(frame_fit::stretched, id, m);
		return;
	}
	if (b->width == m.hdisplay && b->height == m.vdisplay) {
		printf("present: no plane accepts the frames\n");
		choose(frame_fit::none, 0, m);
		return;
	}
	if (uint32_t id = commit_on_accepting_plane(fd, t, centred(b, m), 0, 0, true)) {
		printf("present: no plane scales %ux%u to %ux%u, plane %u shows the frames at "
		       "their "
		       "own size, centred\n",
		       b->width, b->height, m.hdisplay, m.vdisplay, id);
		choose(frame_fit::positioned, id, m);
		return;
	}
	printf("present: no plane scales or places %ux%u on %ux%u, the frames are decoded centred "
	       "into buffers of the mode's size\n",
	       b->width, b->height, m.hdisplay, m.vdisplay);
	choose(frame_fit::padded, 0, m);
	g_fit.chosen = false; // its first buffer's commit is still to be seen
}

} // namespace

void present_frame(int fd, const bo *b)
{
	// Resources fetched for this call alone are released when it ends; the shared ones are
	// never released here.
	auto shared_res = g_drm_mode_res.get();
	res_holder own_res;
	const drmModeRes *res = shared_res.get();
	if (!res) {
		own_res.reset(drmModeGetResources(fd));
		if (!own_res) {
			printf("Failed to get resources: %s\n", strerror(errno));
			return;
		}
		res = own_res.get();
	}

	if (!g_drm_encoder) {
		printf("g_drm_encoder nil\n");
		return;
	}

	// Declared so that they are released in the order plane, plane resources, the plane's
	// property list, CRTC.
	crtc_holder crtc = find_active_crtc(fd, res);
	if (!crtc) {
		printf("failed to find usable crtc props\n");
		return;
	}
	props_holder plane_props;
	plane_res_holder planes(drmModeGetPlaneResources(fd));
	if (!planes) {
		printf("failed to get plane resources: %s\n", strerror(errno));
		return;
	}
	const uint32_t bit = drm_crtc_bit(res, crtc->crtc_id);
	// The run's chosen plane, else the first that offers the format.
	plane_holder plane;
	if (g_fit.plane_id != 0)
		plane.reset(drmModeGetPlane(fd, g_fit.plane_id));
	else
		plane = find_plane(fd, planes.get(), b->format, bit);
	if (!plane) {
		printf("no plane offers format %.4s (0x%08x)\n",
		       reinterpret_cast<const char *>(&b->format), b->format);
		return;
	}

	std::array<uint32_t, 10> ids{};
	if (!plane_prop_ids(fd, plane->plane_id, ids, plane_props))
		return;

	frame_target t{b, crtc->crtc_id, bit, planes.get(), {}};
	if (!read_mode(fd, &t.mode))
		return;
	// A new mode (a hot-plug during the run) makes the choice again.
	if ((g_fit.chosen || g_fit.fit == frame_fit::padded) &&
	    (t.mode.hdisplay != g_fit.mode_w || t.mode.vdisplay != g_fit.mode_h))
		g_fit = {};
	std::vector<plane_off> off;
	if (g_console_may_cover.load())
		off = covering_console(fd, planes.get(), crtc->crtc_id, plane->plane_id);
	const plane_rect r =
	        g_fit.fit == frame_fit::positioned ? centred(b, t.mode) : stretched(b, t.mode);
	if (commit_plane(fd, b, crtc->crtc_id, plane->plane_id, ids, r, off)) {
		g_console_may_cover.store(false);
		g_fit.chosen = g_fit.chosen || g_fit.fit == frame_fit::padded;
	} else if (!g_fit.chosen && fit_may_help(fd, crtc->crtc_id, errno)) {
		choose_fit(fd, t, plane->plane_id);
	}
}

uint32_t present_crtc_bit(int fd)
{
	auto res = g_drm_mode_res.get();
	if (!res)
		return 0;
	crtc_holder crtc = find_active_crtc(fd, res.get(), false);
	return crtc ? drm_crtc_bit(res.get(), crtc->crtc_id) : 0;
}

void present_new_run()
{
	g_fit = {};
}

bool present_pad_small_frames(int fd, uint32_t width, uint32_t height)
{
	auto res = g_drm_mode_res.get();
	if (!res || (width >= res->min_width && height >= res->min_height))
		return false;
	if (g_fit.chosen || g_fit.fit != frame_fit::stretched)
		return false;
	drmModeModeInfo m{};
	if (!read_mode(fd, &m))
		return false;
	printf("present: the card takes no framebuffer smaller than %ux%u, the frames are decoded "
	       "centred into buffers of the mode's size\n",
	       res->min_width, res->min_height);
	choose(frame_fit::padded, 0, m);
	g_fit.chosen = false; // its first buffer's commit is still to be seen
	return true;
}

bool present_padded_size(uint32_t *width, uint32_t *height)
{
	if (g_fit.fit != frame_fit::padded)
		return false;
	*width = g_fit.mode_w;
	*height = g_fit.mode_h;
	return true;
}

frame_fit present_fit()
{
	return g_fit.fit;
}
