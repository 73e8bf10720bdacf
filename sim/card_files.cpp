// DRM files: opening and closing card descriptors, the event queue that read() drains, and the
// mappings of dumb buffers.
//
// A card descriptor is a timerfd. The kernel makes a DRM file readable when an event is queued,
// which happens at a vblank; here each queued event carries the instant it becomes due and the
// timer is armed for the earliest one, so select() and poll() see the descriptor readable
// exactly from that instant until the events are read, without a thread of the card's own.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "sim/card.h"
#include "sim/preload.h"

namespace sim::kms
{

drm_file *find_file(device &d, int fd)
{
	auto it = d.files.find(fd);
	return it == d.files.end() ? nullptr : it->second.get();
}

void rearm(drm_file &f)
{
	itimerspec its{};
	if (!f.events.empty()) {
		const int64_t due = std::max<int64_t>(f.events.front().due, 1);
		its.it_value.tv_sec = due / k_ns_per_s;
		its.it_value.tv_nsec = due % k_ns_per_s;
	}
	// Setting the timer also clears an expiry not yet seen, so the descriptor stops being
	// readable when the queue runs dry.
	timerfd_settime(f.fd, TFD_TIMER_ABSTIME, &its, nullptr);
}

void queue_event(device &d, drm_file &f, const pending_event &e)
{
	pending_event ev = e;
	ev.order = d.next_event_order++;
	auto pos = std::upper_bound(f.events.begin(), f.events.end(), ev,
	                            [](const pending_event &a, const pending_event &b) {
		                            return a.due < b.due ||
		                                   (a.due == b.due && a.order < b.order);
	                            });
	f.events.insert(pos, ev);
	rearm(f);
}

void reset_file(device &, drm_file &f)
{
	f.handles.clear();
	f.fbs.clear();
	f.blobs.clear();
	f.events.clear();
	f.event_space = k_event_space;
	rearm(f);
}

// drm_framebuffer_remove() for atomic drivers: atomic_remove_fb() takes the framebuffer off the
// planes showing it, then it is gone. Should both of its commits fail, the kernel warns and the
// planes keep the framebuffer until they are given another one; the card instead drops it from
// them outright, so that no plane ever shows a framebuffer that no longer exists.
void remove_fb(device &d, uint32_t fb_id)
{
	auto it = d.fbs.find(fb_id);
	if (it == d.fbs.end())
		return;
	if (atomic_remove_fb(d, fb_id) != 0) {
		for (plane &p : d.planes) {
			if (p.state.fb == fb_id) {
				p.state.fb = 0;
				p.state.crtc = -1;
			}
		}
	}
	if (drm_file *owner = find_file(d, it->second.owner))
		std::erase(owner->fbs, fb_id);
	const framebuffer fb = it->second;
	d.fbs.erase(it);
	d.objects.erase(fb_id);
	for (int i = 0; i < fb.gem_count; i++) {
		auto g = d.gems.find(fb.gems[i]);
		if (g == d.gems.end())
			continue;
		g->second.fbs--;
		gem_unref(d, fb.gems[i]);
	}
}

namespace
{

// drm_file_free(): events, framebuffers (drm_fb_release(): each one still in use is taken off
// its planes by drm_framebuffer_remove()), user blobs, then GEM handles.
void release_file(device &d, drm_file &f)
{
	f.events.clear();
	const std::vector<uint32_t> fbs = f.fbs;
	for (uint32_t id : fbs)
		remove_fb(d, id);
	for (uint32_t id : f.blobs) {
		auto b = d.blobs.find(id);
		if (b == d.blobs.end())
			continue;
		b->second.owner = -1;
		free_blob_if_unused(d, id);
	}
	f.blobs.clear();
	for (const auto &[handle, key] : f.handles) {
		auto g = d.gems.find(key);
		if (g == d.gems.end())
			continue;
		g->second.handles--;
		gem_unref(d, key);
	}
	f.handles.clear();
}

void preload_init_once()
{
	simkms_preload_init();
}

bool take_mmap_fault(device &d, int *err)
{
	for (auto it = d.faults.begin(); it != d.faults.end(); ++it) {
		if (!it->request.empty())
			continue;
		if (it->nth == 0) {
			*err = it->err;
			return true;
		}
		if (++it->seen == it->nth) {
			*err = it->err;
			d.faults.erase(it);
			return true;
		}
	}
	return false;
}

void drop_mapping_range(device &d, uintptr_t addr, size_t len)
{
	const uintptr_t end = addr + len;
	std::vector<mapping> hit;
	for (auto it = d.mappings.begin(); it != d.mappings.end();) {
		const mapping &m = it->second;
		if (m.addr < end && addr < m.addr + m.len) {
			hit.push_back(m);
			it = d.mappings.erase(it);
		} else {
			++it;
		}
	}
	for (const mapping &m : hit) {
		auto g = d.gems.find(m.gem);
		if (g == d.gems.end())
			continue;
		// Unmapping the middle of a mapping leaves two, as the kernel splits the VMA.
		if (m.addr < addr) {
			d.mappings[m.addr] = mapping{m.addr, addr - m.addr, m.gem};
			g->second.mappings++;
		}
		if (end < m.addr + m.len) {
			d.mappings[end] = mapping{end, m.addr + m.len - end, m.gem};
			g->second.mappings++;
		}
		g->second.mappings--;
		gem_unref(d, m.gem);
	}
	__atomic_store_n(&g_card_mappings, int(d.mappings.size()), __ATOMIC_RELAXED);
}

} // namespace

namespace
{

bool display_files_left(const device &d)
{
	for (const auto &[fd, f] : d.files)
		if (!f->render_only)
			return true;
	return false;
}

} // namespace

int card_open(int minor, int flags)
{
	static pthread_once_t once = PTHREAD_ONCE_INIT;
	if (simkms_preload_init)
		pthread_once(&once, preload_init_once);
	card_lock lock;
	if (!g_dev)
		return -ENOENT;
	const topology &t = g_dev->topo;
	// The display's node exists only as card1 behind a render-only card0, and only once its
	// driver has registered it (drm_dev_register() creates the minor's device node).
	const bool render_only = t.render_card0 && minor == 0;
	if (minor == 1 &&
	    (!t.render_card0 ||
	     now_ns() < g_dev->installed_at + int64_t(t.display_card_delay_ms) * 1000000))
		return -ENOENT;
	if (g_dev->open_fault)
		return -g_dev->open_fault;
	const int tfd_flags =
	        ((flags & O_CLOEXEC) ? TFD_CLOEXEC : 0) | ((flags & O_NONBLOCK) ? TFD_NONBLOCK : 0);
	const int fd = timerfd_create(CLOCK_MONOTONIC, tfd_flags);
	if (fd < 0)
		return -errno;
	auto f = std::make_unique<drm_file>();
	f->fd = fd;
	f->render_only = render_only;
	// drm_master_open(): the first file of a card nobody is master of becomes master.
	if (!render_only && g_dev->master < 0) {
		g_dev->master = fd;
		f->was_master = true;
	}
	g_dev->files[fd] = std::move(f);
	__atomic_add_fetch(&g_card_files, 1, __ATOMIC_RELAXED);
	return fd;
}

int card_close(int fd)
{
	{
		card_lock lock;
		if (!g_dev)
			return 1;
		drm_file *f = find_file(*g_dev, fd);
		if (!f)
			return 1;
		const bool render_only = f->render_only;
		release_file(*g_dev, *f);
		// drm_master_release(), after drm_fb_release() took the file's framebuffers off.
		if (g_dev->master == fd)
			g_dev->master = -1;
		g_dev->files.erase(fd);
		__atomic_sub_fetch(&g_card_files, 1, __ATOMIC_RELAXED);
		if (!render_only && !display_files_left(*g_dev))
			restore_console(*g_dev);
	}
	return libc().close(fd) == 0 ? 0 : -errno;
}

// drm_read(): whole events only; a buffer too small for the next event reads 0 bytes.
ssize_t card_read(int fd, void *buf, size_t count)
{
	card_lock lock;
	for (;;) {
		if (!g_dev)
			return -EBADF;
		drm_file *f = find_file(*g_dev, fd);
		if (!f)
			return -EBADF;
		const int64_t now = now_ns();
		size_t done = 0;
		bool due = false;
		while (!f->events.empty() && f->events.front().due <= now) {
			due = true;
			const pending_event &e = f->events.front();
			const size_t len = e.ev.base.length;
			if (len > count - done)
				break;
			memcpy(static_cast<uint8_t *>(buf) + done, &e.ev, len);
			done += len;
			f->event_space += uint32_t(len);
			f->events.erase(f->events.begin());
		}
		rearm(*f);
		if (done > 0 || due)
			return ssize_t(done);
		const int fl = fcntl(fd, F_GETFL);
		if (fl >= 0 && (fl & O_NONBLOCK))
			return -EAGAIN;
		lock.unlock();
		pollfd p{};
		p.fd = fd;
		p.events = POLLIN;
		const int r = poll(&p, 1, -1);
		const int err = errno;
		lock.lock();
		if (r < 0 && err == EINTR)
			return -EINTR;
	}
}

namespace
{

// A resident buffer's whole read-write mapping stays in place for the buffer's next mmap
// (or the next buffer that gets its memory); the process sees it unmapped.
bool park_mapping(device &d, uintptr_t addr, size_t len)
{
	const auto m = d.mappings.find(addr);
	if (m == d.mappings.end() || m->second.len != (len + k_page - 1) / k_page * k_page)
		return false;
	const auto g = d.gems.find(m->second.gem);
	if (g == d.gems.end() || !g->second.resident || g->second.parked || !m->second.whole_rw)
		return false;
	g->second.parked = reinterpret_cast<uint8_t *>(addr);
	drop_mapping_range(d, addr, m->second.len);
	return true;
}

} // namespace

void *card_mmap(void *addr, size_t len, int prot, int flags, int fd, uint64_t off, int *err)
{
	card_lock lock;
	device &d = *g_dev;
	drm_file *f = find_file(d, fd);
	if (!f) {
		*err = EBADF;
		return MAP_FAILED;
	}
	if (take_mmap_fault(d, err))
		return MAP_FAILED;
	// A private mapping would never reach the screen; the shmem helpers refuse it too.
	if ((flags & MAP_TYPE) == MAP_PRIVATE || len == 0) {
		*err = EINVAL;
		return MAP_FAILED;
	}
	uint64_t key = 0;
	for (const auto &[k, g] : d.gems) {
		if (g.offset == off) {
			key = k;
			break;
		}
	}
	if (!key) {
		*err = EINVAL;
		return MAP_FAILED;
	}
	bool allowed = false;
	for (const auto &[handle, k] : f->handles)
		allowed = allowed || k == key;
	if (!allowed) {
		*err = EACCES;
		return MAP_FAILED;
	}
	gem_object &g = d.gems[key];
	const size_t pages = (len + k_page - 1) / k_page * k_page;
	if (pages > g.size) {
		*err = EINVAL;
		return MAP_FAILED;
	}
	void *p;
	if (g.parked && !addr && len == g.size && prot == (PROT_READ | PROT_WRITE) &&
	    (flags & MAP_TYPE) == MAP_SHARED && !(flags & MAP_FIXED)) {
		p = g.parked;
		g.parked = nullptr;
	} else {
		p = libc().mmap(addr, len, prot, flags, g.memfd, 0);
	}
	if (p == MAP_FAILED) {
		*err = errno;
		return MAP_FAILED;
	}
	drop_mapping_range(d, uintptr_t(p), pages);
	d.mappings[uintptr_t(p)] = mapping{uintptr_t(p), pages, key,
	                                   pages == g.size && prot == (PROT_READ | PROT_WRITE) &&
	                                           (flags & MAP_TYPE) == MAP_SHARED};
	g.mappings++;
	__atomic_store_n(&g_card_mappings, int(d.mappings.size()), __ATOMIC_RELAXED);
	return p;
}

int card_munmap(void *addr, size_t len)
{
	card_lock lock;
	if (g_dev && park_mapping(*g_dev, uintptr_t(addr), len))
		return 0;
	if (libc().munmap(addr, len) != 0)
		return -errno;
	if (g_dev)
		drop_mapping_range(*g_dev, uintptr_t(addr), (len + k_page - 1) / k_page * k_page);
	return 0;
}

} // namespace sim::kms
