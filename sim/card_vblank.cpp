// Vblank counters and WAIT_VBLANK (drm_vblank.c).
//
// Each pipe counts frames of its mode on CLOCK_MONOTONIC from the instant its CRTC became
// active; nothing ticks in the background, the count is computed when asked. A request with
// _DRM_VBLANK_EVENT is served: its event is queued for the instant of the asked vblank.
#include <algorithm>
#include <cerrno>

#include "sim/card.h"

namespace sim::kms
{

uint64_t vblank_clock::count(int64_t now) const
{
	if (!running || now < t0 || period <= 0)
		return base;
	return base + uint64_t((now - t0) / period);
}

int64_t vblank_clock::time_of(uint64_t seq) const
{
	if (seq < base)
		return t0;
	return t0 + int64_t(seq - base) * period;
}

namespace
{

bool vblank_passed(uint64_t seq, uint64_t ref)
{
	return (seq - ref) <= (1u << 23);
}

uint64_t widen_32_to_64(uint32_t narrow, uint64_t near)
{
	return near + uint64_t(int64_t(int32_t(narrow - uint32_t(near))));
}

void set_time(drm_event_vblank &ev, int64_t t)
{
	ev.tv_sec = uint32_t(t / k_ns_per_s);
	ev.tv_usec = uint32_t((t % k_ns_per_s) / 1000);
}

void reply(drm_wait_vblank &arg, uint64_t seq, int64_t t)
{
	arg.reply.sequence = uint32_t(seq);
	arg.reply.tval_sec = long(uint32_t(t / k_ns_per_s));
	arg.reply.tval_usec = long((t % k_ns_per_s) / 1000);
}

// drm_queue_vblank_event().
int queue_vblank_event(request_ctx &c, int pipe, uint64_t seq, uint64_t req, drm_wait_vblank &arg)
{
	drm_file &f = *c.file;
	const crtc &x = c.dev->crtcs[pipe];
	pending_event e;
	e.ev.base.type = DRM_EVENT_VBLANK;
	e.ev.base.length = sizeof(e.ev);
	e.ev.user_data = arg.request.signal;
	e.ev.crtc_id = x.id;
	if (f.event_space < e.ev.base.length)
		return -ENOMEM;
	f.event_space -= e.ev.base.length;
	if (vblank_passed(seq, req)) {
		e.due = now_ns();
		e.ev.sequence = uint32_t(seq);
		set_time(e.ev, x.vblank.time_of(seq));
		arg.reply.sequence = uint32_t(seq);
	} else {
		e.pipe = pipe;
		e.target = req;
		e.due = x.vblank.time_of(req);
		e.ev.sequence = uint32_t(req);
		set_time(e.ev, e.due);
		arg.reply.sequence = uint32_t(req);
	}
	queue_event(*c.dev, f, e);
	return 0;
}

} // namespace

// drm_crtc_vblank_off(): the count stops at the last vblank, and vblank events still waiting
// on the pipe are sent at once with that count.
void crtc_turned_off(device &d, int crtc_index, int64_t now)
{
	vblank_clock &v = d.crtcs[crtc_index].vblank;
	if (v.running) {
		const uint64_t last = v.count(now);
		v.t0 = v.time_of(last);
		v.base = last;
		v.running = false;
	}
	for (auto &[fd, f] : d.files) {
		bool changed = false;
		for (pending_event &e : f->events) {
			if (e.pipe != crtc_index || e.due <= now)
				continue;
			e.due = now;
			e.pipe = -1;
			e.ev.sequence = uint32_t(v.base);
			set_time(e.ev, now);
			changed = true;
		}
		if (!changed)
			continue;
		std::stable_sort(f->events.begin(), f->events.end(),
		                 [](const pending_event &a, const pending_event &b) {
			                 return a.due < b.due ||
			                        (a.due == b.due && a.order < b.order);
		                 });
		rearm(*f);
	}
}

// drm_wait_vblank_ioctl().
int wait_vblank_ioctl(request_ctx &c, drm_wait_vblank &arg)
{
	if (!c.dev->topo.driver.vblank)
		return -EOPNOTSUPP;
	uint32_t type = arg.request.type;
	if (type & _DRM_VBLANK_SIGNAL)
		return -EINVAL;
	if (type &
	    ~uint32_t(_DRM_VBLANK_TYPES_MASK | _DRM_VBLANK_FLAGS_MASK | _DRM_VBLANK_HIGH_CRTC_MASK))
		return -EINVAL;
	const uint32_t flags = type & _DRM_VBLANK_FLAGS_MASK;
	const uint32_t high = type & _DRM_VBLANK_HIGH_CRTC_MASK;
	const size_t pipe = high ? high >> _DRM_VBLANK_HIGH_CRTC_SHIFT
	                         : ((flags & _DRM_VBLANK_SECONDARY) ? 1 : 0);
	if (pipe >= c.dev->crtcs.size())
		return -EINVAL;
	// drm_vblank_get() refuses a pipe whose CRTC is off.
	if (!c.dev->crtcs[pipe].vblank.running)
		return -EINVAL;
	const int64_t now = now_ns();
	uint64_t seq = c.dev->crtcs[pipe].vblank.count(now);
	uint64_t req = 0;
	if (type & _DRM_VBLANK_RELATIVE) {
		req = seq + arg.request.sequence;
		arg.request.sequence = uint32_t(req);
		type &= ~uint32_t(_DRM_VBLANK_RELATIVE);
	} else {
		req = widen_32_to_64(arg.request.sequence, seq);
	}
	if ((flags & _DRM_VBLANK_NEXTONMISS) && vblank_passed(seq, req)) {
		req = seq + 1;
		type &= ~uint32_t(_DRM_VBLANK_NEXTONMISS);
		arg.request.sequence = uint32_t(req);
	}
	arg.request.type = static_cast<drm_vblank_seq_type>(type);
	if (flags & _DRM_VBLANK_EVENT)
		return queue_vblank_event(c, int(pipe), seq, req, arg);

	if (req != seq) {
		// Wait without the lock; the pipe may be switched off meanwhile, which ends the
		// wait as drm_crtc_vblank_off() wakes the kernel's waiters. The kernel gives up
		// after 3 s.
		const uint64_t generation = c.dev->generation;
		const int64_t deadline = now + 3 * k_ns_per_s;
		c.dev->crtcs[pipe].vblank_waiters++;
		int err = 0;
		for (;;) {
			const vblank_clock &v = c.dev->crtcs[pipe].vblank;
			if (!v.running || vblank_passed(v.count(now_ns()), req))
				break;
			const int64_t t = now_ns();
			if (t >= deadline) {
				err = -EBUSY;
				break;
			}
			const int64_t wake = std::min({v.time_of(req), deadline, t + 20000000});
			c.lock.unlock();
			sleep_until(wake);
			if (!c.relock(generation)) {
				err = -EINVAL;
				break;
			}
		}
		// A card installed meanwhile starts with no waiters of its own.
		if (g_dev && g_dev->generation == generation)
			g_dev->crtcs[pipe].vblank_waiters--;
		if (err != 0)
			return err;
	}
	const vblank_clock &v = c.dev->crtcs[pipe].vblank;
	seq = v.count(now_ns());
	reply(arg, seq, v.time_of(seq));
	return 0;
}

} // namespace sim::kms

namespace sim
{

using namespace kms;

uint64_t vblank_count(int crtc_index)
{
	card_lock lock;
	device &d = dev_or_die();
	if (crtc_index < 0 || size_t(crtc_index) >= d.crtcs.size())
		return 0;
	return d.crtcs[crtc_index].vblank.count(now_ns());
}

int vblank_waiters(int crtc_index)
{
	card_lock lock;
	device &d = dev_or_die();
	if (crtc_index < 0 || size_t(crtc_index) >= d.crtcs.size())
		return 0;
	return d.crtcs[crtc_index].vblank_waiters;
}

} // namespace sim
