// The card's ioctl entry (drm_ioctl()): the request table and its dispatch. The requests are
// served in card_query.cpp, card_buffers.cpp, card_atomic.cpp and card_vblank.cpp, and recorded
// in card_records.cpp.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/ioctl.h>

#include "sim/card.h"
#include "sim/preload.h"

namespace sim::kms
{

bool request_ctx::relock(uint64_t generation)
{
	lock.lock();
	if (!g_dev || g_dev->generation != generation)
		return false;
	dev = g_dev;
	file = find_file(*dev, fd);
	return file != nullptr;
}

namespace
{

int atomic(request_ctx &c, drm_mode_atomic &r)
{
	return atomic_ioctl(c, r);
}

int wait_vblank(request_ctx &c, drm_wait_vblank &r)
{
	return wait_vblank_ioctl(c, r);
}

// --- the request table -----------------------------------------------------------------------

struct request_desc {
	unsigned long cmd = 0;
	const char *name = nullptr;
	int (*serve)(request_ctx &, void *) = nullptr;
	void (*record)(request_record &, const void *, const void *) = nullptr;
	uint32_t (*object)(const void *) = nullptr;
};

template <typename T, int (*Serve)(request_ctx &, T &)>
int serve_as(request_ctx &c, void *data)
{
	return Serve(c, *static_cast<T *>(data));
}

template <typename T, void (*Record)(request_record &, const T &, const T &)>
void record_as(request_record &rec, const void *in, const void *out)
{
	Record(rec, *static_cast<const T *>(in), *static_cast<const T *>(out));
}

template <typename T, uint32_t T::*Field>
uint32_t object_of(const void *in)
{
	return static_cast<const T *>(in)->*Field;
}

#define REQ(cmd, name, type, serve, record)                                                        \
	request_desc                                                                               \
	{                                                                                          \
		cmd, name, serve_as<type, serve>, record_as<type, record>, nullptr                 \
	}
#define REQ_OBJ(cmd, name, type, serve, record, field)                                             \
	request_desc                                                                               \
	{                                                                                          \
		cmd, name, serve_as<type, serve>, record_as<type, record>,                         \
		        object_of<type, &type::field>                                              \
	}
#define UNSUPPORTED(cmd, name)                                                                     \
	request_desc                                                                               \
	{                                                                                          \
		cmd, name, nullptr, nullptr, nullptr                                               \
	}

const request_desc k_requests[] = {
        REQ(DRM_IOCTL_VERSION, "VERSION", drm_version, version, rec_version),
        REQ(DRM_IOCTL_GET_CAP, "GET_CAP", drm_get_cap, get_cap, rec_get_cap),
        REQ(DRM_IOCTL_SET_CLIENT_CAP, "SET_CLIENT_CAP", drm_set_client_cap, set_client_cap,
            rec_set_client_cap),
        request_desc{DRM_IOCTL_SET_MASTER, "SET_MASTER", set_master, nullptr, nullptr},
        request_desc{DRM_IOCTL_DROP_MASTER, "DROP_MASTER", drop_master, nullptr, nullptr},
        REQ(DRM_IOCTL_GEM_CLOSE, "GEM_CLOSE", drm_gem_close, gem_close, rec_gem_close),
        REQ(DRM_IOCTL_WAIT_VBLANK, "WAIT_VBLANK", drm_wait_vblank, wait_vblank, rec_wait_vblank),
        REQ(DRM_IOCTL_MODE_GETRESOURCES, "MODE_GETRESOURCES", drm_mode_card_res, get_resources,
            rec_card_res),
        REQ_OBJ(DRM_IOCTL_MODE_GETCRTC, "MODE_GETCRTC", drm_mode_crtc, get_crtc, rec_crtc, crtc_id),
        REQ_OBJ(DRM_IOCTL_MODE_GETENCODER, "MODE_GETENCODER", drm_mode_get_encoder, get_encoder,
                rec_encoder, encoder_id),
        REQ_OBJ(DRM_IOCTL_MODE_GETCONNECTOR, "MODE_GETCONNECTOR", drm_mode_get_connector,
                get_connector, rec_connector, connector_id),
        REQ_OBJ(DRM_IOCTL_MODE_GETPROPERTY, "MODE_GETPROPERTY", drm_mode_get_property, get_property,
                rec_property, prop_id),
        REQ_OBJ(DRM_IOCTL_MODE_GETPROPBLOB, "MODE_GETPROPBLOB", drm_mode_get_blob, get_prop_blob,
                rec_get_blob, blob_id),
        REQ(DRM_IOCTL_MODE_RMFB, "MODE_RMFB", unsigned int, rm_fb, rec_rm_fb),
        REQ(DRM_IOCTL_MODE_CREATE_DUMB, "MODE_CREATE_DUMB", drm_mode_create_dumb, create_dumb,
            rec_create_dumb),
        REQ(DRM_IOCTL_MODE_MAP_DUMB, "MODE_MAP_DUMB", drm_mode_map_dumb, map_dumb, rec_map_dumb),
        REQ(DRM_IOCTL_MODE_DESTROY_DUMB, "MODE_DESTROY_DUMB", drm_mode_destroy_dumb, destroy_dumb,
            rec_destroy_dumb),
        REQ(DRM_IOCTL_MODE_GETPLANERESOURCES, "MODE_GETPLANERESOURCES", drm_mode_get_plane_res,
            get_plane_resources, rec_plane_res),
        REQ_OBJ(DRM_IOCTL_MODE_GETPLANE, "MODE_GETPLANE", drm_mode_get_plane, get_plane, rec_plane,
                plane_id),
        REQ(DRM_IOCTL_MODE_ADDFB2, "MODE_ADDFB2", drm_mode_fb_cmd2, add_fb2, rec_fb2),
        REQ_OBJ(DRM_IOCTL_MODE_OBJ_GETPROPERTIES, "MODE_OBJ_GETPROPERTIES",
                drm_mode_obj_get_properties, obj_get_properties, rec_obj_props, obj_id),
        REQ(DRM_IOCTL_MODE_ATOMIC, "MODE_ATOMIC", drm_mode_atomic, atomic, rec_atomic),
        REQ(DRM_IOCTL_MODE_CREATEPROPBLOB, "MODE_CREATEPROPBLOB", drm_mode_create_blob,
            create_prop_blob, rec_create_blob),
        REQ(DRM_IOCTL_MODE_DESTROYPROPBLOB, "MODE_DESTROYPROPBLOB", drm_mode_destroy_blob,
            destroy_prop_blob, rec_destroy_blob),
        // Known requests the card does not serve: they fail with EOPNOTSUPP under their names.
        UNSUPPORTED(DRM_IOCTL_GET_UNIQUE, "GET_UNIQUE"),
        UNSUPPORTED(DRM_IOCTL_GET_MAGIC, "GET_MAGIC"),
        UNSUPPORTED(DRM_IOCTL_AUTH_MAGIC, "AUTH_MAGIC"),
        UNSUPPORTED(DRM_IOCTL_GEM_FLINK, "GEM_FLINK"),
        UNSUPPORTED(DRM_IOCTL_GEM_OPEN, "GEM_OPEN"),
        UNSUPPORTED(DRM_IOCTL_PRIME_HANDLE_TO_FD, "PRIME_HANDLE_TO_FD"),
        UNSUPPORTED(DRM_IOCTL_PRIME_FD_TO_HANDLE, "PRIME_FD_TO_HANDLE"),
        UNSUPPORTED(DRM_IOCTL_CRTC_GET_SEQUENCE, "CRTC_GET_SEQUENCE"),
        UNSUPPORTED(DRM_IOCTL_CRTC_QUEUE_SEQUENCE, "CRTC_QUEUE_SEQUENCE"),
        UNSUPPORTED(DRM_IOCTL_MODE_SETCRTC, "MODE_SETCRTC"),
        UNSUPPORTED(DRM_IOCTL_MODE_CURSOR, "MODE_CURSOR"),
        UNSUPPORTED(DRM_IOCTL_MODE_GETGAMMA, "MODE_GETGAMMA"),
        UNSUPPORTED(DRM_IOCTL_MODE_SETGAMMA, "MODE_SETGAMMA"),
        UNSUPPORTED(DRM_IOCTL_MODE_SETPROPERTY, "MODE_SETPROPERTY"),
        UNSUPPORTED(DRM_IOCTL_MODE_GETFB, "MODE_GETFB"),
        UNSUPPORTED(DRM_IOCTL_MODE_ADDFB, "MODE_ADDFB"),
        UNSUPPORTED(DRM_IOCTL_MODE_PAGE_FLIP, "MODE_PAGE_FLIP"),
        UNSUPPORTED(DRM_IOCTL_MODE_DIRTYFB, "MODE_DIRTYFB"),
        UNSUPPORTED(DRM_IOCTL_MODE_SETPLANE, "MODE_SETPLANE"),
        UNSUPPORTED(DRM_IOCTL_MODE_OBJ_SETPROPERTY, "MODE_OBJ_SETPROPERTY"),
        UNSUPPORTED(DRM_IOCTL_MODE_CURSOR2, "MODE_CURSOR2"),
        UNSUPPORTED(DRM_IOCTL_MODE_CREATE_LEASE, "MODE_CREATE_LEASE"),
        UNSUPPORTED(DRM_IOCTL_MODE_LIST_LESSEES, "MODE_LIST_LESSEES"),
        UNSUPPORTED(DRM_IOCTL_MODE_GET_LEASE, "MODE_GET_LEASE"),
        UNSUPPORTED(DRM_IOCTL_MODE_REVOKE_LEASE, "MODE_REVOKE_LEASE"),
        UNSUPPORTED(DRM_IOCTL_MODE_GETFB2, "MODE_GETFB2"),
};

#undef REQ
#undef REQ_OBJ
#undef UNSUPPORTED

// The requests drm_ioctls[] flags DRM_MASTER: only the current master may make them.
constexpr unsigned long k_master_only[] = {
        DRM_IOCTL_SET_VERSION,       DRM_IOCTL_SET_UNIQUE,      DRM_IOCTL_BLOCK,
        DRM_IOCTL_UNBLOCK,           DRM_IOCTL_AUTH_MAGIC,      DRM_IOCTL_ADD_DRAW,
        DRM_IOCTL_RM_DRAW,           DRM_IOCTL_UPDATE_DRAW,     DRM_IOCTL_MODE_SETCRTC,
        DRM_IOCTL_MODE_SETPLANE,     DRM_IOCTL_MODE_CURSOR,     DRM_IOCTL_MODE_SETGAMMA,
        DRM_IOCTL_MODE_ATTACHMODE,   DRM_IOCTL_MODE_DETACHMODE, DRM_IOCTL_MODE_SETPROPERTY,
        DRM_IOCTL_MODE_PAGE_FLIP,    DRM_IOCTL_MODE_DIRTYFB,    DRM_IOCTL_MODE_OBJ_SETPROPERTY,
        DRM_IOCTL_MODE_CURSOR2,      DRM_IOCTL_MODE_ATOMIC,     DRM_IOCTL_MODE_CREATE_LEASE,
        DRM_IOCTL_MODE_LIST_LESSEES, DRM_IOCTL_MODE_GET_LEASE,  DRM_IOCTL_MODE_REVOKE_LEASE,
};

// drm_ioctl_permit(): a master-only request from a file that is not the current master
// (drm_is_current_master()) is EACCES, before the request is looked at.
bool permitted(const device &d, int fd, unsigned nr)
{
	if (d.master == fd)
		return true;
	return std::none_of(std::begin(k_master_only), std::end(k_master_only),
	                    [&](unsigned long cmd) { return _IOC_NR(cmd) == nr; });
}

const request_desc *find_request(unsigned nr)
{
	for (const request_desc &r : k_requests)
		if (_IOC_NR(r.cmd) == nr)
			return &r;
	return nullptr;
}

} // namespace

// drm_ioctl(): the request's struct is copied in as far as the caller's size and the kernel's
// size allow, zero-filled beyond, served, and copied back whatever the result.
int card_ioctl(int fd, unsigned long cmd, void *arg)
{
	int ret = 0;
	{
		card_lock lock;
		if (!g_dev)
			return -EBADF;
		drm_file *f = find_file(*g_dev, fd);
		if (!f)
			return -EBADF;
		// The render-only card is another device: its requests are not the display's.
		if (f->render_only)
			return render_only_ioctl(cmd, arg);
		if (_IOC_TYPE(cmd) != DRM_IOCTL_BASE)
			return -ENOTTY;
		const unsigned nr = _IOC_NR(cmd);
		const request_desc *desc = find_request(nr);
		const uint64_t generation = g_dev->generation;
		request_ctx c{lock, g_dev, f, fd, {}, false, 0};
		c.rec.fields.entries.reserve(8); // most requests have fewer fields
		if (desc) {
			c.rec.name = desc->name;
		} else {
			char name[32];
			snprintf(name, sizeof(name), "IOCTL_0x%02X", nr);
			c.rec.name = name;
		}
		alignas(16) static thread_local unsigned char in[1 << 14];
		alignas(16) static thread_local unsigned char kdata[1 << 14];
		size_t in_size = _IOC_SIZE(cmd), out_size = _IOC_SIZE(cmd);
		const unsigned long kcmd = desc ? desc->cmd : 0;
		if ((cmd & kcmd & IOC_IN) == 0)
			in_size = 0;
		if ((cmd & kcmd & IOC_OUT) == 0)
			out_size = 0;
		const size_t ksize = std::max({in_size, out_size, size_t(_IOC_SIZE(kcmd))});
		memset(kdata, 0, ksize);
		if (in_size) {
			if (!arg)
				ret = -EFAULT;
			else
				memcpy(kdata, arg, in_size);
		}
		memcpy(in, kdata, ksize);
		int err = 0;
		if (ret) {
		} else if (!permitted(*c.dev, fd, nr)) {
			ret = -EACCES;
		} else if (!desc) {
			ret = -EINVAL;
		} else if (take_fault(*c.dev, c.rec.name, desc->object ? desc->object(in) : 0,
		                      &err)) {
			ret = -err;
		} else if (!desc->serve) {
			ret = -EOPNOTSUPP;
		} else {
			ret = desc->serve(c, kdata);
		}
		// A handler that blocked may find the card replaced; its request then goes
		// unrecorded.
		if (g_dev && g_dev->generation == generation) {
			if (out_size && arg)
				memcpy(arg, kdata, out_size);
			if (desc && desc->record)
				desc->record(c.rec, in, kdata);
			c.rec.error = -ret;
			keep_record(g_dev->requests, std::move(c.rec));
		} else if (out_size && arg) {
			memcpy(arg, kdata, out_size);
		}
		// Before any other file can see the new state: a program that exits once it sees
		// its picture replaced must not take the capture of the new one with it.
		if (c.after_commit && ret == 0 && simkms_preload_after_commit)
			simkms_preload_after_commit(c.commit_flags);
	}
	return ret;
}

} // namespace sim::kms
