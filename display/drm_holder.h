// Owning holders for the records libdrm hands out, each released by its matching free call.
#pragma once

#include <memory>

#include <xf86drm.h>
#include <xf86drmMode.h>

template <auto Free>
struct drm_deleter {
	template <typename T>
	void operator()(T *p) const noexcept
	{
		Free(p);
	}
};

template <typename T, auto Free>
using drm_holder = std::unique_ptr<T, drm_deleter<Free>>;

using res_holder = drm_holder<drmModeRes, drmModeFreeResources>;
using connector_holder = drm_holder<drmModeConnector, drmModeFreeConnector>;
using encoder_holder = drm_holder<drmModeEncoder, drmModeFreeEncoder>;
using crtc_holder = drm_holder<drmModeCrtc, drmModeFreeCrtc>;
using plane_res_holder = drm_holder<drmModePlaneRes, drmModeFreePlaneResources>;
using plane_holder = drm_holder<drmModePlane, drmModeFreePlane>;
using props_holder = drm_holder<drmModeObjectProperties, drmModeFreeObjectProperties>;
using property_holder = drm_holder<drmModePropertyRes, drmModeFreeProperty>;
using blob_holder = drm_holder<drmModePropertyBlobRes, drmModeFreePropertyBlob>;
using version_holder = drm_holder<drmVersion, drmFreeVersion>;
using atomic_holder = drm_holder<drmModeAtomicReq, drmModeAtomicFree>;
