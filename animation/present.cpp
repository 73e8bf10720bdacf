#include "animation/present.h"

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

bool is_named(const drmModePropertyRes *prop, std::string_view name)
{
	return prop && name == prop->name;
}

// The first CRTC of the list whose "ACTIVE" is non-zero; CRTCs that cannot be read are
// reported and passed over.
crtc_holder find_active_crtc(int fd, const drmModeRes *res)
{
	for (int i = 0; i < res->count_crtcs; i++) {
		crtc_holder crtc(drmModeGetCrtc(fd, res->crtcs[i]));
		if (!crtc) {
			printf("Could not get crtc %u: %s\n", res->crtcs[i], strerror(errno));
			continue;
		}
		props_holder props(
		        drmModeObjectGetProperties(fd, crtc->crtc_id, DRM_MODE_OBJECT_CRTC));
		if (!props) {
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

// The CRTC's bit in possible_crtcs: its index in the card's list.
uint32_t crtc_bit(const drmModeRes *res, uint32_t crtc_id)
{
	for (int i = 0; i < res->count_crtcs && i < 32; i++)
		if (res->crtcs[i] == crtc_id)
			return 1u << i;
	return 0;
}

// The first plane of the list that offers `format` and may be on the CRTC of `crtc_bit` (the
// kernel refuses any other); planes that cannot be read are passed over.
plane_holder find_plane(int fd, const drmModePlaneRes *planes, uint32_t format, uint32_t crtc_bit)
{
	for (uint32_t i = 0; i < planes->count_planes; i++) {
		plane_holder plane(drmModeGetPlane(fd, planes->planes[i]));
		if (!plane || !(plane->possible_crtcs & crtc_bit))
			continue;
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

// A plane's current value of the property `name`, if it has one.
std::optional<uint64_t> plane_value(int fd, uint32_t plane_id, std::string_view name,
                                    uint32_t *prop_id = nullptr)
{
	props_holder props(drmModeObjectGetProperties(fd, plane_id, DRM_MODE_OBJECT_PLANE));
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

// The planes on the CRTC that show the console above the frame's plane and would hide it.
std::vector<plane_off> covering_console(int fd, const drmModePlaneRes *planes, uint32_t crtc_id,
                                        uint32_t frame_plane)
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
		    !above(fd, p->plane_id, i, frame_plane, frame_at))
			continue;
		plane_off o{p->plane_id, 0, 0};
		plane_value(fd, p->plane_id, "FB_ID", &o.fb_prop);
		plane_value(fd, p->plane_id, "CRTC_ID", &o.crtc_prop);
		off.push_back(o);
	}
	return off;
}

bool commit_plane(int fd, const bo *b, uint32_t crtc_id, uint32_t plane_id,
                  const std::array<uint32_t, 10> &ids, const drmModeModeInfo &mode,
                  const std::vector<plane_off> &off)
{
	atomic_holder req(drmModeAtomicAlloc());
	if (!req) {
		printf("atomic: couldn't allocate request\n");
		return false;
	}
	const std::array<uint64_t, 10> values = {
	        crtc_id,
	        b->fb_id,
	        0,
	        0,
	        uint64_t(b->width) << 16,
	        uint64_t(b->height) << 16,
	        0,
	        0,
	        mode.hdisplay,
	        mode.vdisplay,
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
	if (drmModeAtomicCommit(fd, req.get(), DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr) != 0) {
		printf("atomic: couldn't commit new state: %s\n", strerror(errno));
		return false;
	}
	return true;
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
	plane_holder plane = find_plane(fd, planes.get(), b->format, crtc_bit(res, crtc->crtc_id));
	if (!plane) {
		printf("no plane offers format %.4s (0x%08x)\n",
		       reinterpret_cast<const char *>(&b->format), b->format);
		return;
	}

	plane_props.reset(drmModeObjectGetProperties(fd, plane->plane_id, DRM_MODE_OBJECT_PLANE));
	if (!plane_props) {
		printf("failed to found props plane[%d] %s\n", static_cast<int>(plane->plane_id),
		       strerror(errno));
		return;
	}
	// A name the plane lacks keeps id 0 and is added all the same.
	std::array<uint32_t, 10> ids{};
	for (uint32_t j = 0; j < plane_props->count_props; j++) {
		property_holder prop(drmModeGetProperty(fd, plane_props->props[j]));
		if (!prop)
			continue;
		for (size_t n = 0; n < k_plane_props.size(); n++)
			if (k_plane_props[n] == prop->name)
				ids[n] = prop->prop_id;
	}

	drmModeModeInfo mode{};
	if (!read_mode(fd, &mode))
		return;
	std::vector<plane_off> off;
	if (g_console_may_cover.load())
		off = covering_console(fd, planes.get(), crtc->crtc_id, plane->plane_id);
	if (commit_plane(fd, b, crtc->crtc_id, plane->plane_id, ids, mode, off))
		g_console_may_cover.store(false);
}
