// The virtual card's internal model: the DRM device with its mode objects, properties, blobs,
// GEM objects and framebuffers, and the DRM files opened on it. Not a public interface; the
// functions of sim.h and the interposed C library calls are built on it.
//
// One lock (g_lock) guards everything here. Code that blocks (vblank waits, blocking reads,
// commits that wait for a vblank) releases it while blocking.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <pthread.h>
#include <sys/types.h>

#include <drm.h>
#include <drm_fourcc.h>
#include <drm_mode.h>

#include "sim/sim.h"

namespace sim::kms
{

constexpr int64_t k_ns_per_s = 1000000000;
constexpr uint32_t k_event_space = 4096; // the kernel's per-file event space in bytes
constexpr uint64_t k_page = 4096;

// The properties every device creates at start, in the kernel's creation order, so that their
// ids (1, 2, ...) match what a 6.1 kernel hands out.
enum std_prop : int {
	prop_edid,
	prop_dpms,
	prop_path,
	prop_tile,
	prop_link_status,
	prop_non_desktop,
	prop_hdr_output_metadata,
	prop_type,
	prop_src_x,
	prop_src_y,
	prop_src_w,
	prop_src_h,
	prop_crtc_x,
	prop_crtc_y,
	prop_crtc_w,
	prop_crtc_h,
	prop_fb_id,
	prop_in_fence_fd,
	prop_out_fence_ptr,
	prop_crtc_id,
	prop_fb_damage_clips,
	prop_active,
	prop_mode_id,
	prop_vrr_enabled,
	prop_degamma_lut,
	prop_degamma_lut_size,
	prop_ctm,
	prop_gamma_lut,
	prop_gamma_lut_size,
	prop_in_formats,
	prop_count
};

struct property {
	uint32_t id = 0;
	std::string name;
	uint32_t flags = 0; // DRM_MODE_PROP_*
	std::vector<uint64_t> values;
	std::vector<std::pair<uint64_t, std::string>> enums;
};

struct plane_state {
	int crtc = -1; // CRTC index
	uint32_t fb = 0;
	int32_t crtc_x = 0, crtc_y = 0;
	uint32_t crtc_w = 0, crtc_h = 0;
	uint32_t src_x = 0, src_y = 0, src_w = 0, src_h = 0; // 16.16
	uint32_t damage_blob = 0; // FB_DAMAGE_CLIPS, which a duplicated state does not keep
	// What __drm_atomic_helper_plane_state_reset() starts every plane with.
	uint64_t alpha = 0xffff;       // DRM_BLEND_ALPHA_OPAQUE
	uint64_t pixel_blend_mode = 0; // DRM_MODE_BLEND_PREMULTI
};

struct plane {
	uint32_t id = 0;
	uint32_t type = DRM_PLANE_TYPE_OVERLAY;
	uint32_t possible_crtcs = 0;
	std::vector<uint32_t> formats;
	uint32_t in_formats_blob = 0;
	std::vector<int> props; // attached property indices, in attachment order
	// The plane's own properties (plane->zpos_property and the like), -1 when absent.
	int zpos_prop = -1, blend_mode_prop = -1, alpha_prop = -1;
	plane_state state;
};

struct crtc_state {
	bool active = false;
	uint32_t mode_blob = 0; // 0: no mode, the CRTC is disabled
	drm_mode_modeinfo mode{};
	bool vrr_enabled = false;
	bool enable() const
	{
		return mode_blob != 0;
	}
};

// The vblank counter of a pipe: while running it counts whole frame periods since t0.
struct vblank_clock {
	bool running = false;
	uint64_t base = 0;
	int64_t t0 = 0;
	int64_t period = 16666667;
	uint64_t count(int64_t now) const;
	int64_t time_of(uint64_t seq) const; // when vblank number seq happens (or happened)
};

struct crtc {
	uint32_t id = 0;
	int primary = -1; // plane index, as crtc->primary
	std::vector<int> props;
	crtc_state state;
	vblank_clock vblank;
	int vblank_waiters = 0; // threads inside a blocking WAIT_VBLANK on this pipe
};

struct encoder {
	uint32_t id = 0;
	uint32_t type = 0;
	uint32_t possible_crtcs = 0;
	uint32_t possible_clones = 0;
};

struct connector_state {
	int crtc = -1;
	int encoder = -1; // best encoder, index
	uint64_t link_status = DRM_MODE_LINK_STATUS_GOOD;
};

struct connector {
	uint32_t id = 0;
	uint32_t type = 0;
	uint32_t type_id = 0;
	bool connected = false;
	std::vector<mode_def> topology_modes;
	std::vector<drm_mode_modeinfo> modes; // in the kernel's sorted order; empty when unplugged
	std::vector<int> encoders;
	std::vector<int> props;
	uint32_t edid_blob = 0;
	connector_state state;
	bool added = true; // false: a late connector the driver has not registered yet
};

struct gem_object {
	uint64_t size = 0;
	uint64_t offset = 0; // fake mmap offset
	int memfd = -1;
	uint8_t *pixels = nullptr; // the card's own mapping, for composing the screen
	uint8_t *parked = nullptr; // resident buffers: a whole mapping the process let go
	bool resident = false;
	int handles = 0;
	int fbs = 0;
	int mappings = 0;
};

// Memory of a destroyed resident buffer, waiting for the next buffer of its size.
struct pooled_memory {
	uint64_t size = 0;
	int memfd = -1;
	uint8_t *map = nullptr; // a live read-write mapping of all of it, or null
};

struct framebuffer {
	uint32_t id = 0;
	uint32_t width = 0, height = 0, format = 0, flags = 0;
	uint64_t modifier = 0;
	uint32_t pitches[4] = {};
	uint32_t offsets[4] = {};
	uint64_t gems[4] = {};
	int gem_count = 0;
	int owner = -1; // descriptor of the file that created it
};

struct blob {
	uint32_t id = 0;
	std::vector<uint8_t> data;
	bool user = false;  // created by CREATEPROPBLOB
	int owner = -1;     // descriptor of the creating file until it destroys the blob
	int state_refs = 0; // CRTC states using it as MODE_ID
};

struct pending_event {
	int64_t due = 0;    // CLOCK_MONOTONIC; readable from then on
	uint64_t order = 0; // queue order among equal due times
	drm_event_vblank ev{};
	int pipe = -1;       // vblank request events: the pipe whose vblank they wait for
	uint64_t target = 0; // ... and the vblank number
};

struct drm_file {
	int fd = -1;
	bool render_only = false; // a file of the render-only card0 (topology::render_card0)
	bool universal_planes = false;
	bool atomic = false;
	bool stereo = false;
	bool aspect_ratio = false;
	bool writeback = false;
	// Has been the card's master (drm_file.was_master): may take it back without
	// CAP_SYS_ADMIN (drm_master_check_perm()).
	bool was_master = false;
	std::map<uint32_t, uint64_t> handles; // GEM handle -> gem object key
	std::vector<uint32_t> fbs;            // newest first, as the kernel lists them
	std::vector<uint32_t> blobs;          // user blobs this file created and still owns
	std::vector<pending_event> events;    // sorted by (due, order)
	uint32_t event_space = k_event_space;
};

struct mapping {
	uintptr_t addr = 0;
	size_t len = 0;
	uint64_t gem = 0;
	bool whole_rw = false; // all of the buffer, shared, read-write
};

struct object_ref {
	uint32_t type = 0; // DRM_MODE_OBJECT_*
	int index = -1; // plane, CRTC, encoder, connector or property index; -1 for fbs and blobs
};

struct fault {
	std::string request; // empty: an mmap fault
	int err = 0;
	int nth = 0; // 0: every call
	uint32_t object_id = 0;
	int seen = 0;
};

// What fbdev emulation showed on a CRTC at start, which the last close of the card restores.
struct console_output {
	uint32_t fb = 0; // 0: the console does not use the CRTC
	drm_mode_modeinfo mode{};
	int connector = -1;
};

struct device {
	topology topo;
	std::vector<console_output> console; // by CRTC index; empty without fbdev emulation
	uint64_t generation = 0;
	std::vector<property> props;
	std::vector<plane> planes;
	std::vector<crtc> crtcs;
	std::vector<encoder> encoders;
	std::vector<connector> connectors;
	std::map<uint32_t, object_ref> objects; // every mode object id in use
	std::map<uint32_t, blob> blobs;
	std::map<uint32_t, framebuffer> fbs;
	std::map<uint64_t, gem_object> gems;
	std::vector<pooled_memory> pool;
	uint64_t next_gem = 1;
	uint64_t next_offset = 0x100000000ull; // DRM_FILE_PAGE_OFFSET_START on 64-bit
	uint64_t next_event_order = 1;
	std::map<int, std::unique_ptr<drm_file>> files; // by descriptor
	int master = -1; // descriptor of the current master (dev->master), -1 when none
	// The calling process has CAP_SYS_ADMIN (capable() in drm_master_check_perm()).
	bool sys_admin = true;
	std::map<uintptr_t, mapping> mappings; // by address
	std::vector<fault> faults;
	int open_fault = 0;
	int64_t installed_at = 0; // CLOCK_MONOTONIC; the display's card1 appears after its delay
	// Deques: the oldest tenth goes at once when full, without moving the rest.
	std::deque<request_record> requests;
	std::deque<commit_record> commits;
};

// The lock over everything and the installed device (null before the first install()).
extern pthread_mutex_t g_lock;
extern device *g_dev;
// Read without the lock by the interposed calls to let unrelated descriptors pass quickly;
// accessed through __atomic builtins only (the entry points run before any runtime is ready).
extern int g_card_files;
extern int g_card_mappings;

class card_lock
{
public:
	card_lock()
	{
		pthread_mutex_lock(&g_lock);
	}
	~card_lock()
	{
		if (held_)
			pthread_mutex_unlock(&g_lock);
	}
	card_lock(const card_lock &) = delete;
	card_lock &operator=(const card_lock &) = delete;
	void unlock()
	{
		pthread_mutex_unlock(&g_lock);
		held_ = false;
	}
	void lock()
	{
		pthread_mutex_lock(&g_lock);
		held_ = true;
	}

private:
	bool held_ = true;
};

// The C library functions the card forwards to (the next definitions after its own). The mapping
// is the C library's mmap64, whose offset is 64 bits wide on every target: a 32-bit build may
// see off_t as 32 or 64 bits wide (_FILE_OFFSET_BITS) depending on the file.
struct libc_calls {
	int (*open)(const char *, int, ...);
	int (*close)(int);
	ssize_t (*read)(int, void *, size_t);
	int (*ioctl)(int, unsigned long, ...);
	void *(*mmap)(void *, size_t, int, int, int, int64_t);
	int (*munmap)(void *, size_t);
};
const libc_calls &libc();

// Records kept per kind; beyond this the oldest go, so that a card serving a player for hours
// does not grow without bound.
constexpr size_t k_max_records = 100000;

template <typename T>
void keep_record(std::deque<T> &records, T &&r)
{
	if (records.size() >= k_max_records)
		records.erase(records.begin(), records.begin() + k_max_records / 10);
	records.push_back(std::move(r));
}

int64_t now_ns();
void sleep_until(int64_t t);

// --- the device and its objects (card_device.cpp) ---------------------------------------------
uint32_t alloc_object_id(device &d, uint32_t type, int index);
// Gives a connector its id (and its type's number when it has none); a late one joins the card.
void register_connector(device &d, int index);
const object_ref *find_object(const device &d, uint32_t id);
uint32_t create_blob(device &d, const void *data, size_t len, bool user, int owner);
void blob_unref_state(device &d, uint32_t id);
void blob_ref_state(device &d, uint32_t id);
bool blob_alive(const blob &b);
void free_blob_if_unused(device &d, uint32_t id);
// The installed device, or an empty one before the first install().
device &dev_or_die();

// --- modes and EDID (card_modes.cpp) ---------------------------------------------------------
drm_mode_modeinfo make_modeinfo(const mode_def &m);
int mode_vrefresh(const drm_mode_modeinfo &m);
bool mode_equal(const drm_mode_modeinfo &a, const drm_mode_modeinfo &b);
int64_t frame_ns(const drm_mode_modeinfo &m);
void set_modes(connector &c, const std::vector<mode_def> &specs);
void attach_edid(device &d, connector &c);

// What a CRTC shows (sim::screen()), with the lock already held (compose.cpp).
image compose_screen(device &d, int crtc_index);

// --- the console (card_console.cpp) ----------------------------------------------------------
// fbdev emulation's restore of the console when the last file closes.
void restore_console(device &d);
uint32_t create_console_fb(device &d, const topology &t);
void show_console(device &d, int crtc_index, uint32_t fb);
// The topology with the CRTCs fbdev emulation lights itself (driver_def::fbdev_picks_crtcs).
topology pick_console_crtcs(const device &d, const topology &t);

// --- files (card_files.cpp) ------------------------------------------------------------------
drm_file *find_file(device &d, int fd);
// A new descriptor of /dev/dri/card<minor>, or -errno.
int card_open(int minor, int flags);
int card_close(int fd); // 0 or -errno; 1 when fd is no card descriptor
ssize_t card_read(int fd, void *buf, size_t count);
// `off` is the 64-bit offset the caller gave (mmap64, or mmap of a 64-bit off_t), never truncated:
// the card's offsets start at 4 GiB as a 64-bit kernel's do, also for a 32-bit process.
void *card_mmap(void *addr, size_t len, int prot, int flags, int fd, uint64_t off, int *err);
int card_munmap(void *addr, size_t len); // 0 or -errno
void reset_file(device &d, drm_file &f);
void remove_fb(device &d, uint32_t fb_id);
void queue_event(device &d, drm_file &f, const pending_event &e);
void rearm(drm_file &f);

// --- requests (card_ioctl.cpp; served by card_query, card_buffers, card_atomic, card_vblank) ---
int card_ioctl(int fd, unsigned long request, void *arg); // 0 or -errno
// A request on a file of the render-only card0 (card_render.cpp).
int render_only_ioctl(unsigned long request, void *arg); // 0 or -errno

// The state of one request while it is served; handlers may drop the lock to block.
struct request_ctx {
	card_lock &lock;
	device *dev;
	drm_file *file;
	int fd;
	request_record rec;
	bool after_commit = false;
	uint32_t commit_flags = 0;
	// Re-takes the lock after blocking; false when the card was replaced or the file closed.
	bool relock(uint64_t generation);
};

// The query requests (card_query.cpp).
int version(request_ctx &c, drm_version &v);
// drm_version() for a driver; the date is the driver's own.
void fill_version(drm_version &v, const driver_def &drv, std::string_view date);
// drm_getcap()'s answers for every driver, render-only ones included (PRIME as the driver's
// GEM import and export give it); false for a cap only modesetting drivers answer.
bool render_cap(drm_get_cap &cap, uint64_t prime);
int get_cap(request_ctx &c, drm_get_cap &cap);
int set_client_cap(request_ctx &c, drm_set_client_cap &cap);
int set_master(request_ctx &c, void *);
int drop_master(request_ctx &c, void *);
int get_resources(request_ctx &c, drm_mode_card_res &r);
int get_crtc(request_ctx &c, drm_mode_crtc &r);
int get_encoder(request_ctx &c, drm_mode_get_encoder &r);
int get_connector(request_ctx &c, drm_mode_get_connector &r);
int get_plane_resources(request_ctx &c, drm_mode_get_plane_res &r);
int get_plane(request_ctx &c, drm_mode_get_plane &r);
int obj_get_properties(request_ctx &c, drm_mode_obj_get_properties &r);
int get_property(request_ctx &c, drm_mode_get_property &r);
int get_prop_blob(request_ctx &c, drm_mode_get_blob &r);
int create_prop_blob(request_ctx &c, drm_mode_create_blob &r);
int destroy_prop_blob(request_ctx &c, drm_mode_destroy_blob &r);
// The properties an object carries, in order, and their current values.
const std::vector<int> *object_props(const device &d, const object_ref &o);
uint64_t prop_value(const device &d, const object_ref &o, int prop);
int prop_index_by_id(const device &d, uint32_t prop_id);
bool connector_dpms_on(const device &d, const connector &c);

// Dumb buffers and framebuffers (card_buffers.cpp).
int create_dumb(request_ctx &c, drm_mode_create_dumb &r);
int map_dumb(request_ctx &c, drm_mode_map_dumb &r);
int destroy_dumb(request_ctx &c, drm_mode_destroy_dumb &r);
int gem_close(request_ctx &c, drm_gem_close &r);
int add_fb2(request_ctx &c, drm_mode_fb_cmd2 &r);
int rm_fb(request_ctx &c, unsigned int &fb_id);
void gem_unref(device &d, uint64_t key);

int atomic_ioctl(request_ctx &c, drm_mode_atomic &arg);
// atomic_remove_fb(): takes a framebuffer off the planes showing it by an atomic commit, and when
// that fails with EINVAL, by one that also switches off the CRTCs whose primary plane shows it.
// 0 or the second commit's -errno.
int atomic_remove_fb(device &d, uint32_t fb_id);
int wait_vblank_ioctl(request_ctx &c, drm_wait_vblank &arg);
void crtc_turned_off(device &d, int crtc_index, int64_t now);

// --- the request recorder (card_records.cpp) --------------------------------------------------
// Each writes the request's arguments and replies into its record by kernel field name.
void rec_version(request_record &rec, const drm_version &, const drm_version &o);
void rec_get_cap(request_record &rec, const drm_get_cap &, const drm_get_cap &o);
void rec_set_client_cap(request_record &rec, const drm_set_client_cap &,
                        const drm_set_client_cap &o);
void rec_card_res(request_record &rec, const drm_mode_card_res &, const drm_mode_card_res &o);
void rec_crtc(request_record &rec, const drm_mode_crtc &, const drm_mode_crtc &o);
void rec_encoder(request_record &rec, const drm_mode_get_encoder &, const drm_mode_get_encoder &o);
void rec_connector(request_record &rec, const drm_mode_get_connector &,
                   const drm_mode_get_connector &o);
void rec_plane_res(request_record &rec, const drm_mode_get_plane_res &,
                   const drm_mode_get_plane_res &o);
void rec_plane(request_record &rec, const drm_mode_get_plane &, const drm_mode_get_plane &o);
void rec_obj_props(request_record &rec, const drm_mode_obj_get_properties &,
                   const drm_mode_obj_get_properties &o);
void rec_property(request_record &rec, const drm_mode_get_property &,
                  const drm_mode_get_property &o);
void rec_get_blob(request_record &rec, const drm_mode_get_blob &, const drm_mode_get_blob &o);
void rec_create_blob(request_record &rec, const drm_mode_create_blob &,
                     const drm_mode_create_blob &o);
void rec_destroy_blob(request_record &rec, const drm_mode_destroy_blob &,
                      const drm_mode_destroy_blob &o);
void rec_create_dumb(request_record &rec, const drm_mode_create_dumb &,
                     const drm_mode_create_dumb &o);
void rec_map_dumb(request_record &rec, const drm_mode_map_dumb &, const drm_mode_map_dumb &o);
void rec_destroy_dumb(request_record &rec, const drm_mode_destroy_dumb &,
                      const drm_mode_destroy_dumb &o);
void rec_gem_close(request_record &rec, const drm_gem_close &, const drm_gem_close &o);
void rec_fb2(request_record &rec, const drm_mode_fb_cmd2 &, const drm_mode_fb_cmd2 &o);
void rec_rm_fb(request_record &rec, const unsigned int &, const unsigned int &o);
void rec_atomic(request_record &rec, const drm_mode_atomic &, const drm_mode_atomic &o);
void rec_wait_vblank(request_record &rec, const drm_wait_vblank &in, const drm_wait_vblank &out);
// An injected fault for this request, taken (an nth-call fault is used up); false when none.
bool take_fault(device &d, const std::string &name, uint32_t object_id, int *err);

// --- pixel formats (card_formats.cpp) --------------------------------------------------------
struct format_info {
	uint32_t format = 0;
	int planes = 1;
	uint8_t cpp[3] = {};
	uint8_t hsub = 1, vsub = 1;
};
const format_info *find_format(uint32_t fourcc);

} // namespace sim::kms
