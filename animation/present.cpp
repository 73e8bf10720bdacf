#include "animation/present.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

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

void commit_plane(int fd, const bo *b, uint32_t crtc_id, uint32_t plane_id,
                  const std::array<uint32_t, 10> &ids, const drmModeModeInfo &mode)
{
	atomic_holder req(drmModeAtomicAlloc());
	if (!req) {
		printf("atomic: couldn't allocate request\n");
		return;
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
	if (drmModeAtomicCommit(fd, req.get(), DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr) != 0)
		printf("atomic: couldn't commit new state: %s\n", strerror(errno));
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
	commit_plane(fd, b, crtc->crtc_id, plane->plane_id, ids, mode);
}
