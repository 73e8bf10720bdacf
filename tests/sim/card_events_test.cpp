// DRM events and vblank waits on the virtual card: flip-complete events delivered through
// select() and drmHandleEvent(), the per-file event space, read() semantics and WAIT_VBLANK.
#include <sys/select.h>

#include <ctime>

#include "tests/sim/card_fixture.h"

namespace
{

using namespace card_test;

int64_t monotonic_ns()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// 0 when not readable within timeout_ms, 1 when readable.
int readable(int fd, int timeout_ms)
{
	fd_set set;
	FD_ZERO(&set);
	FD_SET(fd, &set);
	timeval tv{};
	tv.tv_sec = timeout_ms / 1000;
	tv.tv_usec = (timeout_ms % 1000) * 1000;
	return select(fd + 1, &set, nullptr, nullptr, &tv);
}

struct seen_event {
	unsigned sequence = 0;
	unsigned sec = 0, usec = 0;
	unsigned crtc = 0;
	void *user = nullptr;
	bool flip = false;
};

std::vector<seen_event> g_seen;

void on_flip(int, unsigned sequence, unsigned sec, unsigned usec, unsigned crtc, void *user)
{
	g_seen.push_back({sequence, sec, usec, crtc, user, true});
}

void on_vblank(int, unsigned sequence, unsigned sec, unsigned usec, void *user)
{
	g_seen.push_back({sequence, sec, usec, 0, user, false});
}

int handle_events(int fd)
{
	drmEventContext ctx{};
	ctx.version = 3;
	ctx.page_flip_handler2 = on_flip;
	ctx.vblank_handler = on_vblank;
	return drmHandleEvent(fd, &ctx);
}

// Planes on CRTC 0, whose mode is slow (2 Hz) so that a vblank is far enough away to see the
// descriptor not yet readable. The CRTC is switched on by the test, so its vblanks fall at
// known instants.
class card_events : public card
{
protected:
	void SetUp() override
	{
		card::SetUp();
		g_seen.clear();
		ASSERT_EQ(set_atomic(fd_), 0);
		fb_ = make_fb(fd_, 64, 64);
	}

	// Gives CRTC 0 a mode of `hz` frames a second, switching it on now.
	void set_refresh(uint32_t hz)
	{
		drmModeModeInfo m{};
		m.hdisplay = 640;
		m.hsync_start = 656;
		m.hsync_end = 752;
		m.htotal = 800;
		m.vdisplay = 480;
		m.vsync_start = 490;
		m.vsync_end = 492;
		m.vtotal = 500;
		m.clock = 800 * 500 * hz / 1000;
		m.vrefresh = hz;
		ASSERT_EQ(request(fd_)
		                  .set(sim::crtc_id(0), k_crtc, "MODE_ID", mode_blob(fd_, m))
		                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
		          0);
		period_ns_ = int64_t(800) * 500 * 1000000 / m.clock;
	}

	int flip(int plane, uint32_t flags, void *user)
	{
		return show(request(fd_), plane, 0, fb_, 64, 64, 0, 0, 64, 64).commit(flags, user);
	}

	uint32_t fb_ = 0;
	int64_t period_ns_ = 0;
};

// A vblank wait of `type` for `sequence`; its reply, errno in `*err` when given.
drmVBlank wait_vblank(int fd, unsigned type, uint32_t sequence, int *err = nullptr)
{
	drmVBlank vbl{};
	vbl.request.type = drmVBlankSeqType(type);
	vbl.request.sequence = sequence;
	const int e = errno_of([&] { return drmWaitVBlank(fd, &vbl); });
	if (err)
		*err = e;
	else
		EXPECT_EQ(e, 0) << std::hex << type;
	return vbl;
}

int64_t usec_of(const drmVBlank &vbl)
{
	return int64_t(vbl.reply.tval_sec) * 1000000 + vbl.reply.tval_usec;
}

// The time of the last vblank and its number, as a relative wait for 0 frames tells them.
void last_vblank(int fd, uint32_t *sequence, int64_t *usec)
{
	const drmVBlank vbl = wait_vblank(fd, DRM_VBLANK_RELATIVE, 0);
	*sequence = vbl.reply.sequence;
	*usec = usec_of(vbl);
}

TEST_F(card_events, a_flip_event_arrives_at_the_next_vblank)
{
	set_refresh(2);
	uint32_t before = 0;
	int64_t on_usec = 0;
	last_vblank(fd_, &before, &on_usec);
	int tag = 0;
	ASSERT_EQ(flip(0, DRM_MODE_PAGE_FLIP_EVENT, &tag), 0);
	EXPECT_EQ(readable(fd_, 0), 0) << "not before the vblank";
	ASSERT_EQ(readable(fd_, 3000), 1);
	const int64_t at = monotonic_ns();
	ASSERT_EQ(handle_events(fd_), 0);
	ASSERT_EQ(g_seen.size(), 1u);
	const seen_event &e = g_seen[0];
	EXPECT_TRUE(e.flip);
	EXPECT_EQ(e.user, &tag);
	EXPECT_EQ(e.crtc, sim::crtc_id(0));
	EXPECT_EQ(e.sequence, before + 1);
	const int64_t stamp = int64_t(e.sec) * 1000000 + e.usec;
	EXPECT_NEAR(double(stamp - on_usec), period_ns_ / 1000.0, 1.0) << "one frame after";
	EXPECT_LE(stamp * 1000, at);
	EXPECT_EQ(readable(fd_, 0), 0) << "drained";
	// The event went to this file only.
	const int other = open_card();
	ASSERT_GE(other, 0);
	EXPECT_EQ(readable(other, 0), 0);
	close(other);
}

TEST_F(card_events, events_use_the_files_4096_byte_space)
{
	for (int i = 0; i < 128; i++)
		ASSERT_EQ(flip(2, DRM_MODE_PAGE_FLIP_EVENT, nullptr), 0) << i;
	EXPECT_EQ(flip(2, DRM_MODE_PAGE_FLIP_EVENT, nullptr), ENOMEM);
	EXPECT_EQ(flip(2, 0, nullptr), 0) << "commits without events go on";
	EXPECT_EQ(sim::commits().back().error, 0);
	EXPECT_EQ(sim::commits()[sim::commits().size() - 2].error, ENOMEM);
	// Another file has its own space.
	const int other = open_card();
	ASSERT_GE(other, 0);
	ASSERT_EQ(set_atomic(other), 0);
	pass_master(fd_, other);
	EXPECT_EQ(request(other)
	                  .set(sim::crtc_id(0), k_crtc, "ACTIVE", 1)
	                  .commit(DRM_MODE_PAGE_FLIP_EVENT),
	          0);
	pass_master(other, fd_);
	close(other);

	while (g_seen.size() < 128) {
		ASSERT_EQ(readable(fd_, 3000), 1);
		ASSERT_EQ(handle_events(fd_), 0);
	}
	EXPECT_EQ(g_seen.size(), 128u);
	EXPECT_EQ(flip(2, DRM_MODE_PAGE_FLIP_EVENT, nullptr), 0) << "space given back by read";
}

TEST_F(card_events, read_returns_whole_events_and_blocks_or_not)
{
	set_refresh(2);
	const int nonblocking = open("/dev/dri/card0", O_RDWR | O_NONBLOCK);
	ASSERT_GE(nonblocking, 0);
	char buf[256];
	EXPECT_EQ(errno_of([&] { return read(nonblocking, buf, sizeof(buf)); }), EAGAIN);
	close(nonblocking);

	const uint64_t before = sim::vblank_count(0);
	ASSERT_EQ(flip(0, DRM_MODE_PAGE_FLIP_EVENT, buf), 0);
	ASSERT_EQ(flip(0, DRM_MODE_PAGE_FLIP_EVENT, buf + 1), 0);
	// A blocking read waits for the vblank, then gives every due event that fits whole.
	ASSERT_EQ(read(fd_, buf, 31), 0) << "blocks until due, then nothing fits";
	drm_event_vblank ev[2]{};
	ASSERT_EQ(read(fd_, ev, 40), ssize_t(sizeof(ev[0])));
	EXPECT_EQ(ev[0].base.type, uint32_t(DRM_EVENT_FLIP_COMPLETE));
	EXPECT_EQ(ev[0].base.length, sizeof(ev[0]));
	EXPECT_EQ(ev[0].user_data, uint64_t(uintptr_t(buf)));
	EXPECT_EQ(ev[0].crtc_id, sim::crtc_id(0));
	EXPECT_EQ(ev[0].sequence, before + 1);
	ASSERT_EQ(read(fd_, ev, sizeof(ev)), ssize_t(sizeof(ev[0])));
	EXPECT_EQ(ev[0].user_data, uint64_t(uintptr_t(buf + 1)));
	EXPECT_EQ(ev[0].sequence, before + 1) << "both completed at the same vblank";
}

TEST_F(card_events, events_need_a_crtc_that_is_or_was_on)
{
	// CRTC 1 is off and stays off.
	EXPECT_EQ(request(fd_)
	                  .set(sim::crtc_id(1), k_crtc, "VRR_ENABLED", 0)
	                  .commit(DRM_MODE_PAGE_FLIP_EVENT),
	          EINVAL);
	// A commit without any CRTC cannot complete a flip.
	request none(fd_);
	none.set(sim::connector_id(1), k_conn, "link-status", 0);
	EXPECT_EQ(none.commit(DRM_MODE_PAGE_FLIP_EVENT), EINVAL);
	EXPECT_EQ(none.commit(0), 0);
}

TEST_F(card_events, switching_a_crtc_off_completes_its_flip_at_once)
{
	const uint64_t count = sim::vblank_count(0);
	ASSERT_EQ(request(fd_)
	                  .set(sim::crtc_id(0), k_crtc, "ACTIVE", 0)
	                  .commit(DRM_MODE_PAGE_FLIP_EVENT | DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	ASSERT_EQ(readable(fd_, 0), 1);
	ASSERT_EQ(handle_events(fd_), 0);
	ASSERT_EQ(g_seen.size(), 1u);
	EXPECT_GE(g_seen[0].sequence, count);
	EXPECT_EQ(g_seen[0].sequence, sim::vblank_count(0)) << "the count stopped";
}

TEST_F(card_events, drivers_without_vblank_send_flip_events_at_once_counted_zero)
{
	sim::topology t = two_pipes();
	t.driver.vblank = false;
	sim::install(t);
	fb_ = make_fb(fd_, 64, 64);
	ASSERT_EQ(flip(0, DRM_MODE_PAGE_FLIP_EVENT, nullptr), 0);
	ASSERT_EQ(readable(fd_, 0), 1);
	ASSERT_EQ(handle_events(fd_), 0);
	ASSERT_EQ(g_seen.size(), 1u);
	EXPECT_EQ(g_seen[0].sequence, 0u);

	int err = 0;
	wait_vblank(fd_, DRM_VBLANK_RELATIVE, 1, &err);
	EXPECT_EQ(err, EOPNOTSUPP);
}

TEST_F(card_events, closing_with_events_pending_releases_them)
{
	const int other = open_card();
	ASSERT_GE(other, 0);
	ASSERT_EQ(set_atomic(other), 0);
	pass_master(fd_, other);
	ASSERT_EQ(request(other)
	                  .set(sim::crtc_id(0), k_crtc, "ACTIVE", 1)
	                  .commit(DRM_MODE_PAGE_FLIP_EVENT),
	          0);
	EXPECT_EQ(close(other), 0);
	EXPECT_EQ(sim::live().files, 1);
	EXPECT_EQ(readable(fd_, 50), 0);
}

// --- WAIT_VBLANK ---------------------------------------------------------------------------------

using card_vblank = card_events;

TEST_F(card_vblank, relative_waits_count_frames_of_the_mode)
{
	set_refresh(2);
	uint32_t start = 0;
	int64_t start_time = 0;
	last_vblank(fd_, &start, &start_time);
	const drmVBlank vbl = wait_vblank(fd_, DRM_VBLANK_RELATIVE, 2);
	const int64_t after = monotonic_ns();
	EXPECT_EQ(vbl.reply.sequence, start + 2);
	const int64_t t = usec_of(vbl);
	// Vblank timestamps fall on whole frames of 500 ms from the instant the CRTC came on.
	EXPECT_NEAR(double(t - start_time), 2 * period_ns_ / 1000.0, 1.0);
	EXPECT_LE(t * 1000, after);
	EXPECT_GE(sim::vblank_count(0), uint64_t(start + 2));
	EXPECT_EQ(sim::requests().back().name, "WAIT_VBLANK");
	EXPECT_EQ(sim::requests().back().field("request.sequence"), 2u);
	EXPECT_EQ(sim::requests().back().field("reply.sequence"), start + 2);
}

TEST_F(card_vblank, absolute_waits_and_next_on_miss)
{
	set_refresh(2);
	const uint32_t now = wait_vblank(fd_, DRM_VBLANK_RELATIVE, 0).reply.sequence;
	EXPECT_EQ(wait_vblank(fd_, DRM_VBLANK_ABSOLUTE, now + 1).reply.sequence, now + 1);
	// A sequence already passed returns at once, or waits for the next with NEXTONMISS.
	const uint32_t current = wait_vblank(fd_, DRM_VBLANK_ABSOLUTE, now).reply.sequence;
	EXPECT_GE(current, now + 1);
	EXPECT_GE(wait_vblank(fd_, DRM_VBLANK_ABSOLUTE | DRM_VBLANK_NEXTONMISS, now).reply.sequence,
	          current + 1);
}

TEST_F(card_vblank, pipes_are_chosen_by_the_high_crtc_bits_and_must_be_on)
{
	auto wait = [&](unsigned type) {
		int err = 0;
		wait_vblank(fd_, type, 0, &err);
		return err;
	};
	constexpr unsigned crtc1 = 1 << DRM_VBLANK_HIGH_CRTC_SHIFT,
	                   crtc5 = 5 << DRM_VBLANK_HIGH_CRTC_SHIFT;
	// CRTC 1 is off, there is no pipe 5, and signals and flips are not waited for.
	const std::pair<unsigned, int> waits[] = {{0, 0},
	                                          {crtc1, EINVAL},
	                                          {DRM_VBLANK_SECONDARY, EINVAL},
	                                          {crtc5, EINVAL},
	                                          {DRM_VBLANK_SIGNAL, EINVAL},
	                                          {DRM_VBLANK_FLIP, EINVAL}};
	for (const auto &[type, err] : waits)
		EXPECT_EQ(wait(DRM_VBLANK_RELATIVE | type), err) << std::hex << type;

	// Light CRTC 1 and ask again through both ways of naming it.
	sim::set_connected(1, true);
	const uint32_t crtc = sim::crtc_id(1);
	ASSERT_EQ(request(fd_)
	                  .set(sim::connector_id(1), k_conn, "CRTC_ID", crtc)
	                  .set(crtc, k_crtc, "MODE_ID", mode_blob(fd_, connector_mode(fd_, 1, 0)))
	                  .set(crtc, k_crtc, "ACTIVE", 1)
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	EXPECT_LT(wait_vblank(fd_, DRM_VBLANK_RELATIVE | crtc1, 0).reply.sequence, 60u)
	        << "counted from when CRTC 1 came on";
	EXPECT_EQ(wait(DRM_VBLANK_RELATIVE | DRM_VBLANK_SECONDARY), 0);
}

TEST_F(card_vblank, vblank_events_arrive_at_the_asked_vblank)
{
	set_refresh(2);
	const uint64_t before = sim::vblank_count(0);
	drmVBlank vbl{};
	vbl.request.type = drmVBlankSeqType(DRM_VBLANK_RELATIVE | DRM_VBLANK_EVENT);
	vbl.request.sequence = 2;
	vbl.request.signal = 0x1234;
	ASSERT_EQ(drmWaitVBlank(fd_, &vbl), 0);
	const uint32_t target = vbl.reply.sequence;
	EXPECT_EQ(vbl.request.type & DRM_VBLANK_RELATIVE, 0u) << "the reply is absolute";
	while (g_seen.empty()) {
		ASSERT_EQ(readable(fd_, 3000), 1);
		ASSERT_EQ(handle_events(fd_), 0);
	}
	ASSERT_EQ(g_seen.size(), 1u);
	EXPECT_FALSE(g_seen[0].flip);
	EXPECT_EQ(target, before + 2);
	EXPECT_EQ(g_seen[0].sequence, target);
	EXPECT_EQ(g_seen[0].user, reinterpret_cast<void *>(0x1234));
	EXPECT_GE(sim::vblank_count(0), target);
}

} // namespace
