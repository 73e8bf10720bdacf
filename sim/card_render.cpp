// The render-only card0 in front of the display (topology::render_card0): the 6.1 core's answers
// for a driver with DRIVER_GEM but neither DRIVER_MODESET nor DRIVER_ATOMIC, registered as vgem
// registers itself (vgem_drv.c: "vgem", "Virtual GEM provider", 20120112, 1.0.0, the shmem GEM
// helpers). Its files hold nothing, so no request touches the display card's state.
#include <cerrno>

#include <sys/ioctl.h>

#include "sim/card.h"

namespace sim::kms
{

int render_only_ioctl(unsigned long cmd, void *arg)
{
	if (_IOC_TYPE(cmd) != DRM_IOCTL_BASE)
		return -ENOTTY;
	if (!arg)
		return -EFAULT;
	switch (_IOC_NR(cmd)) {
	case _IOC_NR(DRM_IOCTL_VERSION): {
		driver_def vgem;
		vgem.name = "vgem";
		vgem.desc = "Virtual GEM provider";
		fill_version(*static_cast<drm_version *>(arg), vgem, "20120112");
		return 0;
	}
	case _IOC_NR(DRM_IOCTL_GET_CAP):
		// drm_getcap(): the other caps "only work with KMS drivers". The shmem helpers
		// import and export (drm_gem_prime_fd_to_handle(), drm_gem_prime_handle_to_fd());
		// no DRIVER_SYNCOBJ.
		return render_cap(*static_cast<drm_get_cap *>(arg),
		                  DRM_PRIME_CAP_IMPORT | DRM_PRIME_CAP_EXPORT)
		               ? 0
		               : -EOPNOTSUPP;
	case _IOC_NR(DRM_IOCTL_SET_MASTER):
	case _IOC_NR(DRM_IOCTL_DROP_MASTER):
		return 0;
	default:
		// drm_setclientcap() refuses every capability, UNIVERSAL_PLANES and ATOMIC alike,
		// before looking at it: EOPNOTSUPP without DRIVER_MODESET. So do the mode-object
		// requests (drm_mode_getresources(), drm_mode_getcrtc(), drm_mode_getconnector(),
		// drm_mode_getplane_res(), drm_mode_obj_get_properties_ioctl(), drm_mode_addfb2(),
		// ...), drm_mode_atomic_ioctl() without DRIVER_ATOMIC and drm_wait_vblank_ioctl()
		// without vblank support. vgem's dumb buffers are not modelled and fail the same
		// way.
		return -EOPNOTSUPP;
	}
}

} // namespace sim::kms
