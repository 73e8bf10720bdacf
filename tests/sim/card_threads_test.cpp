// The virtual card used from several threads at once, as the player uses it: commits that wait
// for the vblank, an event reader on select(), vblank waits, queries, buffer churn on a second
// descriptor and screen captures. Runs under ThreadSanitizer too.
#include <sys/select.h>

#include <atomic>
#include <thread>

#include "tests/sim/card_fixture.h"
#include "tests/support/wait.h"

namespace
{

using namespace card_test;

constexpr int k_flips = 40;

struct flip_log {
	std::vector<unsigned> sequences;
	std::vector<uintptr_t> tags;
};

// The reader thread's log; user_data carries the flip number.
thread_local flip_log *t_log = nullptr;

void on_flip(int, unsigned sequence, unsigned, unsigned, unsigned, void *user)
{
	t_log->sequences.push_back(sequence);
	t_log->tags.push_back(reinterpret_cast<uintptr_t>(user));
}

class card_threads : public card
{
protected:
	sim::topology topology() override
	{
		sim::topology t = two_pipes();
		t.driver.commit_waits_vblank = true;
		return t;
	}
};

TEST_F(card_threads, commits_events_vblank_waits_queries_and_buffers_at_once)
{
	ASSERT_EQ(set_atomic(fd_), 0);
	dumb a, b;
	ASSERT_EQ(create_dumb(fd_, 64, 64, 32, &a), 0);
	ASSERT_EQ(create_dumb(fd_, 64, 64, 32, &b), 0);
	ASSERT_EQ(map_dumb(fd_, &a), 0);
	ASSERT_EQ(map_dumb(fd_, &b), 0);
	for (uint32_t i = 0; i < 64 * 64; i++) {
		memcpy(a.map + i * 4, "\x00\x00\xff\x00", 4); // red
		memcpy(b.map + i * 4, "\xff\x00\x00\x00", 4); // blue
	}
	uint32_t fbs[2] = {};
	ASSERT_EQ(add_fb(fd_, 64, 64, DRM_FORMAT_XRGB8888, a, &fbs[0]), 0);
	ASSERT_EQ(add_fb(fd_, 64, 64, DRM_FORMAT_XRGB8888, b, &fbs[1]), 0);
	const uint32_t plane = sim::plane_id(2);
	uint32_t props[6] = {};
	const char *names[6] = {"FB_ID", "CRTC_ID", "SRC_W", "SRC_H", "CRTC_W", "CRTC_H"};
	for (int i = 0; i < 6; i++)
		props[i] = prop_id(fd_, plane, DRM_MODE_OBJECT_PLANE, names[i]);
	const sim::live_counts baseline = sim::live();

	std::atomic<bool> done{false};
	std::atomic<int> errors{0};
	auto fail = [&](int line) {
		errors++;
		ADD_FAILURE_AT(__FILE__, line);
	};

	std::thread committer([&] {
		for (int i = 0; i < k_flips; i++) {
			atomic_holder req(drmModeAtomicAlloc());
			const uint64_t values[6] = {
			        fbs[i % 2], sim::crtc_id(0), 64 << 16, 64 << 16, 64, 64};
			for (int p = 0; p < 6; p++)
				drmModeAtomicAddProperty(req.get(), plane, props[p], values[p]);
			if (drmModeAtomicCommit(fd_, req.get(), DRM_MODE_PAGE_FLIP_EVENT,
			                        reinterpret_cast<void *>(uintptr_t(i + 1))) != 0)
				fail(__LINE__);
		}
		done = true;
	});

	flip_log log;
	std::thread reader([&] {
		t_log = &log;
		drmEventContext ctx{};
		ctx.version = 3;
		ctx.page_flip_handler2 = on_flip;
		while (log.tags.size() < size_t(k_flips)) {
			fd_set set;
			FD_ZERO(&set);
			FD_SET(fd_, &set);
			timeval tv{};
			tv.tv_sec = 5;
			if (select(fd_ + 1, &set, nullptr, nullptr, &tv) != 1) {
				fail(__LINE__);
				return;
			}
			if (drmHandleEvent(fd_, &ctx) != 0)
				fail(__LINE__);
		}
	});

	std::thread waiter([&] {
		unsigned last = 0;
		for (int i = 0; i < 20; i++) {
			drmVBlank vbl{};
			vbl.request.type = DRM_VBLANK_RELATIVE;
			vbl.request.sequence = 1;
			if (drmWaitVBlank(fd_, &vbl) != 0 || vbl.reply.sequence <= last)
				fail(__LINE__);
			last = vbl.reply.sequence;
		}
	});

	std::thread querier([&] {
		while (!done) {
			res_holder res(drmModeGetResources(fd_));
			connector_holder c(drmModeGetConnector(fd_, sim::connector_id(0)));
			plane_holder p(drmModeGetPlane(fd_, plane));
			props_holder pr(
			        drmModeObjectGetProperties(fd_, plane, DRM_MODE_OBJECT_PLANE));
			if (!res || !c || c->count_modes != 4 || !p || !pr)
				fail(__LINE__);
		}
	});

	std::thread churn([&] {
		const int own = open_card();
		if (own < 0) {
			fail(__LINE__);
			return;
		}
		while (!done) {
			dumb d;
			uint32_t fb = 0;
			if (create_dumb(own, 128, 16, 32, &d) != 0 || map_dumb(own, &d) != 0) {
				fail(__LINE__);
				break;
			}
			memset(d.map, 0x40, d.size);
			if (add_fb(own, 128, 16, DRM_FORMAT_XRGB8888, d, &fb) != 0 ||
			    drmModeRmFB(own, fb) != 0 || munmap(d.map, d.size) != 0 ||
			    destroy_dumb(own, d.handle) != 0)
				fail(__LINE__);
		}
		close(own);
	});

	std::thread capture([&] {
		while (!done) {
			const sim::image img = sim::screen(0);
			if (img.width != 1920)
				fail(__LINE__);
			const uint8_t *p = img.pixel(10, 10);
			const bool black = p[0] == 0 && p[2] == 0;
			const bool red = p[0] == 255 && p[2] == 0;
			const bool blue = p[0] == 0 && p[2] == 255;
			if (!black && !red && !blue)
				fail(__LINE__);
			usleep(2000);
		}
	});

	for (std::thread *t : {&committer, &reader, &waiter, &querier, &churn, &capture})
		t->join();
	ASSERT_EQ(errors.load(), 0);

	// Each blocking commit returned after its vblank, so every flip completed on a vblank of
	// its own, in order.
	ASSERT_EQ(log.tags.size(), size_t(k_flips));
	for (int i = 0; i < k_flips; i++) {
		EXPECT_EQ(log.tags[i], uintptr_t(i + 1));
		if (i > 0) {
			EXPECT_GT(log.sequences[i], log.sequences[i - 1]);
		}
	}
	const sim::live_counts after = sim::live();
	EXPECT_EQ(after.files, baseline.files);
	EXPECT_EQ(after.dumb_buffers, baseline.dumb_buffers);
	EXPECT_EQ(after.mappings, baseline.mappings);
	EXPECT_EQ(after.framebuffers, baseline.framebuffers);
	const sim::image shown = sim::screen(0);
	ASSERT_EQ(shown.width, 1920u);
	EXPECT_EQ(shown.pixel(0, 0)[2], 255) << "the last flip shows the blue buffer";
}

TEST_F(card_threads, a_vblank_wait_ends_when_its_crtc_is_switched_off)
{
	ASSERT_EQ(set_atomic(fd_), 0);
	std::atomic<int> result{-1};
	std::thread waiter([&] {
		drmVBlank vbl{};
		vbl.request.type = DRM_VBLANK_RELATIVE;
		vbl.request.sequence = 100000; // far beyond the 3 s the kernel waits at most
		result = drmWaitVBlank(fd_, &vbl);
	});
	// Once the waiter blocks, the wait must end with success, not time out.
	EXPECT_TRUE(wait_until([] { return sim::vblank_waiters(0) == 1; }));
	EXPECT_EQ(request(fd_)
	                  .set(sim::crtc_id(0), k_crtc, "ACTIVE", 0)
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	waiter.join();
	EXPECT_EQ(result.load(), 0);
	EXPECT_EQ(sim::vblank_waiters(0), 0);
}

} // namespace
