// The worker's cycle, run on the test thread against the virtual card: the vblank wait on the
// encoder's pipe or the software clock, the pause, the plane scan and the one play per
// vsync_control.
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "animation/boot_config.h"
#include "animation/player.h"
#include "buffer/bo.h"
#include "display/display.h"
#include "sim/sim.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"
#include "tests/support/jpeg_file.h"
#include "tests/support/seam.h"
#include "vsync/vsync.h"

// Seams over the C library and libdrm: the pauses are recorded instead of slept; the software
// clock's sleeps are recorded and can be given scripted results; the monotonic clock can be
// given scripted readings. The card's own sleeps inside a vblank wait pass untouched.
namespace seam
{
namespace
{
struct pause {
	useconds_t us;
	size_t requests; // card requests made before the pause
};
std::vector<pause> pauses;
std::function<void()> during_pause; // run once inside the next pause: another thread's call

struct sleep_call {
	clockid_t clock;
	int flags;
	int64_t target;
	int64_t at; // the real monotonic time of the call
};
std::vector<sleep_call> sleeps;
std::deque<int> sleep_results;      // results of the next software sleeps; 0 sleeps for real
std::deque<int64_t> clock_readings; // the next CLOCK_MONOTONIC readings outside a vblank wait
bool in_vblank = false;

int64_t real_now()
{
	auto real = SEAM_NEXT(clock_gettime);
	timespec ts{};
	real(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
} // namespace
} // namespace seam

extern "C" int usleep(useconds_t us)
{
	seam::pauses.push_back({us, sim::requests().size()});
	if (seam::during_pause) {
		auto call = std::move(seam::during_pause);
		seam::during_pause = nullptr;
		call();
	}
	return 0;
}

extern "C" int clock_gettime(clockid_t clock, timespec *ts) noexcept
{
	auto real = SEAM_NEXT(clock_gettime);
	if (clock == CLOCK_MONOTONIC && !seam::in_vblank && !seam::clock_readings.empty()) {
		int64_t t = seam::clock_readings.front();
		seam::clock_readings.pop_front();
		ts->tv_sec = static_cast<time_t>(t / 1000000000);
		ts->tv_nsec = static_cast<long>(t % 1000000000);
		return 0;
	}
	return real(clock, ts);
}

extern "C" int clock_nanosleep(clockid_t clock, int flags, const timespec *until, timespec *rest)
{
	auto real = SEAM_NEXT(clock_nanosleep);
	if (seam::in_vblank)
		return real(clock, flags, until, rest);
	seam::sleeps.push_back({clock, flags, int64_t(until->tv_sec) * 1000000000 + until->tv_nsec,
	                        seam::real_now()});
	if (!seam::sleep_results.empty()) {
		int result = seam::sleep_results.front();
		seam::sleep_results.pop_front();
		if (result != 0)
			return result;
	}
	return real(clock, flags, until, rest);
}

extern "C" int drmWaitVBlank(int fd, drmVBlankPtr vbl)
{
	auto real = SEAM_NEXT(drmWaitVBlank);
	seam::in_vblank = true;
	int ret = real(fd, vbl);
	seam::in_vblank = false;
	return ret;
}

namespace
{

constexpr int64_t k_period = 16666667;
constexpr int k_pipe = 2;

// An HDMI monitor on the third of three CRTCs (so that the pipe shows in the vblank request),
// or on none with encoder_crtc -1. The primary plane, first in the list, offers RG24 and gets
// the animation; the two overlays after it are the ones the scan looks at.
sim::topology card(int encoder_crtc = k_pipe)
{
	sim::topology t = lit_hdmi_card(
	        {test_mode(64, 48)},
	        {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888}, 0x7),
	         test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_XRGB8888}, 0x7),
	         test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_XRGB8888}, 0x7)});
	t.encoders = {{.possible_crtcs = 0x7, .crtc = encoder_crtc}};
	t.crtcs = {{}, {}, {}};
	if (encoder_crtc >= 0)
		t.crtcs[encoder_crtc] = {.active = true, .mode = test_mode(64, 48)};
	return t;
}

int plays(const std::string &out)
{
	int n = 0;
	for (size_t at = out.find("picPath: "); at != std::string::npos;
	     at = out.find("picPath: ", at + 1))
		n++;
	return n;
}

// The card requests in order, libdrm's repeated calls for one record taken as one; the object
// is named where the request names one.
std::vector<std::string> request_list(const std::vector<sim::request_record> &records)
{
	std::vector<std::string> out;
	for (const auto &r : records) {
		std::string s = r.name;
		if (r.name == "MODE_GETCRTC")
			s += " " + std::to_string(r.field("crtc_id"));
		else if (r.name == "MODE_GETPLANE")
			s += " " + std::to_string(r.field("plane_id"));
		if (r.error)
			s += " error " + std::to_string(r.error);
		if (out.empty() || out.back() != s)
			out.push_back(s);
	}
	return out;
}

size_t first_index(const std::vector<sim::request_record> &records, const std::string &name)
{
	for (size_t i = 0; i < records.size(); i++)
		if (records[i].name == name)
			return i;
	return records.size();
}

using strings = std::vector<std::string>;

// The requests `before`, then those of a cycle's scan from the second plane.
strings scan(strings before = {})
{
	before.push_back("MODE_GETPLANERESOURCES");
	for (int i : {1, 2})
		before.push_back("MODE_GETPLANE " + std::to_string(sim::plane_id(i)));
	return before;
}

std::string get_crtc()
{
	return "MODE_GETCRTC " + std::to_string(sim::crtc_id(k_pipe));
}

class Worker : public ::testing::Test
{
protected:
	void SetUp() override
	{
		set_up(card());
	}

	void set_up(const sim::topology &t)
	{
		if (!dir.empty())
			remove_tree(dir);
		dir = make_temp_dir();
		ASSERT_FALSE(dir.empty());
		ASSERT_TRUE(write_jpeg(dir + "/0.jpg", test_picture(32, 24, 0)));
		snprintf(mBootAnimPath, sizeof mBootAnimPath, "%s", dir.c_str());
		mImageCount = 1;
		mFps = 1000;

		install_card(t);
		open_and_discover(&fd); // without a lit CRTC the encoder is not found
		ASSERT_TRUE(g_drm_connector);

		g_vsync.enable = false;
		g_vsync.exit = false;
		g_vsync_count = 0;
		forget_seams();
	}

	void TearDown() override
	{
		empty_ring();
		for (bo *b : own) {
			bo_release(b);
		}
		own.clear();
		install_card(sim::topology{});
		forget_seams();
		g_vsync.enable = false;
		g_vsync.exit = false;
		remove_tree(dir);
	}

	static void forget_seams()
	{
		seam::pauses.clear();
		seam::sleeps.clear();
		seam::sleep_results.clear();
		seam::clock_readings.clear();
		seam::during_pause = nullptr;
		sim::clear_records();
	}

	std::string cycle()
	{
		output_capture cap;
		vsync_worker_step();
		return cap.stop();
	}

	void enable()
	{
		output_capture quiet;
		vsync_control(1);
	}

	// Commits `value` to the named properties of a plane with the test's own request.
	void commit_plane(int index, std::vector<std::pair<const char *, uint64_t>> props)
	{
		uint32_t id = sim::plane_id(index);
		drmModeAtomicReqPtr req = drmModeAtomicAlloc();
		for (auto &[name, value] : props)
			drmModeAtomicAddProperty(req, id,
			                         static_cast<uint32_t>(find_property_id(
			                                 fd, id, DRM_MODE_OBJECT_PLANE, name)),
			                         value);
		EXPECT_EQ(drmModeAtomicCommit(fd, req, DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr), 0);
		drmModeAtomicFree(req);
	}

	// Another client's content: a framebuffer of the test's own on plane `index`.
	void show_on_plane(int index)
	{
		bo *b = registered_bo(fd, DRM_FORMAT_XRGB8888, 16, 16);
		ASSERT_NE(b, nullptr);
		own.push_back(b);
		commit_plane(index, {{"CRTC_ID", sim::crtc_id(k_pipe)},
		                     {"FB_ID", b->fb_id},
		                     {"SRC_X", 0},
		                     {"SRC_Y", 0},
		                     {"SRC_W", 16 << 16},
		                     {"SRC_H", 16 << 16},
		                     {"CRTC_X", 0},
		                     {"CRTC_Y", 0},
		                     {"CRTC_W", 16},
		                     {"CRTC_H", 16}});
		ASSERT_NE(sim::property_value(sim::plane_id(index), "FB_ID").value_or(0), 0u);
	}

	void clear_plane(int index)
	{
		commit_plane(index, {{"FB_ID", 0}, {"CRTC_ID", 0}});
		ASSERT_EQ(sim::property_value(sim::plane_id(index), "FB_ID").value_or(1), 0u);
	}

	int fd = -1;
	std::string dir;
	std::vector<bo *> own;
};

using WorkerCycle = Worker;

TEST_F(WorkerCycle, WaitsForTheNextVblankOfTheEncodersPipeThenPausesThenScansFromTheSecondPlane)
{
	// The first cycle after the control waits and scans the same way, then plays; the
	// player's own pause of 1000000 / mFps follows the cycle's.
	enable();
	EXPECT_EQ(cycle(), "picPath: " + dir + "/0.jpg \n");
	auto list = request_list(sim::requests());
	ASSERT_GE(list.size(), 5u);
	EXPECT_EQ(strings(list.begin(), list.begin() + 5), scan({get_crtc(), "WAIT_VBLANK"}));
	ASSERT_EQ(seam::pauses.size(), 2u);
	EXPECT_EQ(seam::pauses[0].us, 10000u);
	EXPECT_EQ(seam::pauses[1].us, 1000u);
	ASSERT_EQ(sim::commits().size(), 1u);
	EXPECT_EQ(sim::commits()[0].error, 0);
	ASSERT_EQ(g_vsync_count.load(), 1);
	forget_seams();

	uint64_t vblank_before = sim::vblank_count(k_pipe);
	EXPECT_EQ(cycle(), "");
	auto records = sim::requests();
	EXPECT_EQ(request_list(records), scan({get_crtc(), "WAIT_VBLANK"}));

	size_t wait = first_index(records, "WAIT_VBLANK");
	ASSERT_LT(wait, records.size());
	const sim::request_record &vbl = records[wait];
	EXPECT_EQ(vbl.field("request.type"), 0x5u); // relative, on pipe 2
	EXPECT_EQ(vbl.field("request.sequence"), 1u);
	EXPECT_EQ(vbl.field("request.signal"), 0u);
	EXPECT_EQ(vbl.error, 0);
	// The wait ended on a vblank of that pipe that came after the cycle began.
	EXPECT_GT(vbl.field("reply.sequence"), vblank_before);
	EXPECT_GE(sim::vblank_count(k_pipe), vbl.field("reply.sequence"));

	// One 10 ms pause, after the vblank and before the scan; no software sleep.
	ASSERT_EQ(seam::pauses.size(), 1u);
	EXPECT_EQ(seam::pauses[0].us, 10000u);
	EXPECT_EQ(seam::pauses[0].requests, first_index(records, "MODE_GETPLANERESOURCES"));
	EXPECT_GT(seam::pauses[0].requests, wait);
	EXPECT_TRUE(seam::sleeps.empty());
	EXPECT_EQ(g_vsync_count.load(), 2);
}

TEST_F(WorkerCycle, SoftwareClockWithoutAConnectorSleepsToTheNextInstant)
{
	g_drm_connector.reset();
	enable();
	g_vsync_count = 1;

	// One nanosecond before an instant gives that instant; exactly on one gives the next.
	seam::clock_readings = {5 * k_period - 1};
	EXPECT_EQ(cycle(), "");
	seam::clock_readings = {7 * k_period};
	EXPECT_EQ(cycle(), "");
	ASSERT_EQ(seam::sleeps.size(), 2u);
	EXPECT_EQ(seam::sleeps[0].target, 5 * k_period);
	EXPECT_EQ(seam::sleeps[1].target, 8 * k_period);
	for (const auto &s : seam::sleeps) {
		EXPECT_EQ(s.clock, CLOCK_MONOTONIC);
		EXPECT_EQ(s.flags, TIMER_ABSTIME);
	}

	// On the real clock: the first instant after the cycle began, and it was slept to.
	seam::sleeps.clear();
	int64_t before = seam::real_now();
	EXPECT_EQ(cycle(), "");
	int64_t after = seam::real_now();
	ASSERT_EQ(seam::sleeps.size(), 1u);
	int64_t target = seam::sleeps[0].target;
	EXPECT_EQ(target % k_period, 0);
	EXPECT_GT(target, before);
	EXPECT_LE(target, seam::sleeps[0].at + k_period);
	EXPECT_GE(after, target);

	// No vblank request and no CRTC read; every cycle paused and scanned and counted.
	for (const auto &r : sim::requests()) {
		EXPECT_NE(r.name, "WAIT_VBLANK");
		EXPECT_NE(r.name, "MODE_GETCRTC");
	}
	ASSERT_EQ(seam::pauses.size(), 3u);
	for (const auto &p : seam::pauses)
		EXPECT_EQ(p.us, 10000u);
	EXPECT_EQ(g_vsync_count.load(), 4);
}

TEST_F(WorkerCycle, SoftwareClockRetriesAnInterruptedSleepToTheSameInstant)
{
	g_drm_connector.reset();
	enable();
	g_vsync_count = 1;
	seam::clock_readings = {3 * k_period + 5};
	seam::sleep_results = {EINTR};
	EXPECT_EQ(cycle(), "");
	ASSERT_EQ(seam::sleeps.size(), 2u);
	EXPECT_EQ(seam::sleeps[0].target, 4 * k_period);
	EXPECT_EQ(seam::sleeps[1].target, 4 * k_period);
	EXPECT_EQ(seam::pauses.size(), 1u);
	EXPECT_EQ(g_vsync_count.load(), 2);
}

TEST_F(WorkerCycle, FailedSoftwareSleepEndsTheCycleUncountedAndUnplayed)
{
	g_drm_connector.reset();
	enable();
	sim::clear_records();
	seam::sleep_results = {EINVAL};
	EXPECT_EQ(cycle(), "");
	EXPECT_EQ(seam::sleeps.size(), 1u);
	EXPECT_TRUE(seam::pauses.empty());
	EXPECT_TRUE(sim::requests().empty()); // no scan
	EXPECT_EQ(g_vsync_count.load(), 0);

	// The next cycle still has count 0 and plays.
	EXPECT_EQ(plays(cycle()), 1);
	EXPECT_EQ(g_vsync_count.load(), 1);
}

TEST_F(WorkerCycle, SoftwareClockWhenTheEncoderDrivesNoCrtcOrItsCrtcCannotBeRead)
{
	for (bool unreadable : {false, true}) {
		SCOPED_TRACE(unreadable);
		set_up(card(unreadable ? k_pipe : -1));
		if (unreadable)
			sim::fail_request("MODE_GETCRTC", EIO, 0, sim::crtc_id(k_pipe));
		enable();
		g_vsync_count = 1;
		EXPECT_EQ(cycle(), "");
		ASSERT_EQ(seam::sleeps.size(), 1u);
		EXPECT_EQ(seam::sleeps[0].target % k_period, 0);
		EXPECT_EQ(request_list(sim::requests()),
		          unreadable ? scan({get_crtc() + " error " + std::to_string(EIO)})
		                     : scan());
		EXPECT_EQ(g_vsync_count.load(), 2);
	}
}

TEST_F(WorkerCycle, SoftwareClockWhenTheVblankRequestFails)
{
	sim::topology t = card();
	t.driver.vblank = false;
	set_up(t);
	enable();
	g_vsync_count = 1;
	EXPECT_EQ(cycle(), "");
	auto records = sim::requests();
	const std::string refused = "WAIT_VBLANK error " + std::to_string(EOPNOTSUPP);
	EXPECT_EQ(request_list(records), scan({get_crtc(), refused}));
	EXPECT_EQ(records[first_index(records, "WAIT_VBLANK")].field("request.type"), 0x5u);
	ASSERT_EQ(seam::sleeps.size(), 1u);
	EXPECT_EQ(seam::sleeps[0].target % k_period, 0);
	ASSERT_EQ(seam::pauses.size(), 1u);
	EXPECT_EQ(seam::pauses[0].requests, first_index(records, "MODE_GETPLANERESOURCES"));
	EXPECT_EQ(g_vsync_count.load(), 2);

	// A failed fallback sleep ends that cycle as well.
	forget_seams();
	seam::sleep_results = {EINVAL};
	EXPECT_EQ(cycle(), "");
	EXPECT_EQ(request_list(sim::requests()), (strings{get_crtc(), refused}));
	EXPECT_TRUE(seam::pauses.empty());
	EXPECT_EQ(g_vsync_count.load(), 2);
}

TEST(NextVsyncTime, FirstInstantStrictlyAfterNowThenSaturates)
{
	const int64_t year = int64_t(365) * 24 * 3600 * 1000000000; // of uptime
	const int64_t last = INT64_MAX / k_period * k_period;       // the last instant that fits
	// {period, now, the next instant}
	const int64_t cases[][3] = {
	        {k_period, 0, k_period},
	        {k_period, 1, k_period},
	        {k_period, k_period - 1, k_period},
	        {k_period, k_period, 2 * k_period},
	        {k_period, 60 * k_period - 1, 60 * k_period},
	        {k_period, 60 * k_period, 61 * k_period},
	        // One second is not a whole number of periods: the grid drifts by 20 ns a second.
	        {k_period, 1000000000, 1000000020},
	        {k_period, year, (year / k_period + 1) * k_period},
	        {1, 41, 42},
	        {k_period, last - k_period, last},
	        {k_period, last - 1, last},
	        // Past the last instant the next one does not fit: the largest time stands for it.
	        {k_period, last, INT64_MAX},
	        {k_period, INT64_MAX - 1, INT64_MAX},
	        {k_period, INT64_MAX, INT64_MAX},
	        {1, INT64_MAX - 1, INT64_MAX},
	        {1, INT64_MAX, INT64_MAX}};
	for (const auto &c : cases)
		EXPECT_EQ(next_vsync_time(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

using WorkerPlay = Worker;

TEST_F(WorkerPlay, PlaysOncePerControlAndEveryScannedCycleCounts)
{
	enable();
	std::string out;
	for (int i = 0; i < 4; i++)
		out += cycle();
	EXPECT_EQ(out, "picPath: " + dir + "/0.jpg \n");
	EXPECT_EQ(g_vsync_count.load(), 4);

	// Two controls with no cycle between them: one play.
	enable();
	enable();
	out.clear();
	for (int i = 0; i < 3; i++)
		out += cycle();
	EXPECT_EQ(plays(out), 1);
	EXPECT_EQ(g_vsync_count.load(), 3);
	EXPECT_EQ(sim::commits().size(), 2u);
}

TEST_F(WorkerPlay, FramebufferOnTheFirstPlaneAloneDoesNotStopTheAnimation)
{
	show_on_plane(0);
	sim::clear_records();
	enable();
	EXPECT_EQ(plays(cycle()), 1);
	// The player's frame replaced the test's on the first plane.
	auto commits = sim::commits();
	ASSERT_EQ(commits.size(), 1u);
	EXPECT_EQ(commits[0].error, 0);
	ASSERT_NE(mSfJpegBufInfo[1].mBuf, nullptr);
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), mSfJpegBufInfo[1].mBuf->fb_id);
}

TEST_F(WorkerPlay, FramebufferOnAnotherPlaneStopsItUntilTheNextControl)
{
	for (int index : {1, 2}) {
		SCOPED_TRACE(index);
		show_on_plane(index);
		enable();
		EXPECT_EQ(cycle(), "");
		EXPECT_EQ(g_vsync_count.load(), 1);
		clear_plane(index);
		// The plane is clear now, but this control's first cycle has passed.
		EXPECT_EQ(cycle(), "");
		EXPECT_EQ(g_vsync_count.load(), 2);
		enable();
		EXPECT_EQ(plays(cycle()), 1);
		EXPECT_EQ(g_vsync_count.load(), 1);
	}
}

TEST_F(WorkerPlay, TheConsoleAndThePlayersOwnFramesAreNoOtherClientsContent)
{
	// The console lights the encoder's CRTC on its primary, the second plane; the frames go
	// on the third, the first that offers RG24.
	sim::topology t = card();
	t.driver.fbdev = true;
	t.planes = {
	        test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_XRGB8888}, 0x7),
	        test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888}, 1u << k_pipe),
	        test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888}, 0x7)};
	set_up(t);
	ASSERT_NE(sim::property_value(sim::plane_id(1), "FB_ID").value_or(0), 0u);
	enable();
	EXPECT_EQ(plays(cycle()), 1);
	ASSERT_NE(mSfJpegBufInfo[1].mBuf, nullptr);
	EXPECT_EQ(sim::property_value(sim::plane_id(2), "FB_ID"), mSfJpegBufInfo[1].mBuf->fb_id);

	// A mode set without an unplug before it: the last frame is still shown, and it plays
	// again.
	enable();
	EXPECT_EQ(plays(cycle()), 1);

	// Another client's framebuffer on a plane but the first still keeps it from playing.
	show_on_plane(1);
	enable();
	EXPECT_EQ(cycle(), "");
	EXPECT_EQ(g_vsync_count.load(), 1);
}

// A control that lands while a cycle is under way, between its enable test and its count: a
// disable restarts the count but does not play, an enable plays in that cycle.
TEST_F(WorkerPlay, ControlDuringACycleRestartsTheCountAndDecidesItsPlay)
{
	for (int on : {0, 1}) {
		SCOPED_TRACE(on);
		enable();
		g_vsync_count = 5;
		seam::during_pause = [on] { vsync_control(on); };
		EXPECT_EQ(cycle(), "vsync_control: enable=" + std::to_string(on) + " exit=0\n" +
		                           (on ? "picPath: " + dir + "/0.jpg \n" : ""));
		EXPECT_EQ(g_vsync_count.load(), 1);
		EXPECT_EQ(sim::commits().size(), size_t(on));
		sim::clear_records();
	}
	EXPECT_EQ(cycle(), ""); // played once for that enable
}

TEST_F(WorkerPlay, CountStopsAtItsLargestValue)
{
	enable();
	g_vsync_count = INT32_MAX - 1;
	for (int i = 0; i < 3; i++) {
		EXPECT_EQ(cycle(), "");
		EXPECT_EQ(g_vsync_count.load(), INT32_MAX);
	}
	enable();
	EXPECT_EQ(plays(cycle()), 1);
	EXPECT_EQ(g_vsync_count.load(), 1);
}

// What could not be checked is never drawn over: a cycle that cannot read the plane list or a
// plane ends without counting, and the next readable cycle plays.
TEST_F(WorkerPlay, UnreadablePlaneListOrPlaneEndsTheCycleUncounted)
{
	struct refusal {
		const char *request;
		int err;
		uint32_t object;
	};
	for (const refusal &r : {refusal{"MODE_GETPLANERESOURCES", EIO, 0},
	                         refusal{"MODE_GETPLANE", ENOENT, sim::plane_id(1)},
	                         refusal{"MODE_GETPLANE", ENOENT, sim::plane_id(2)}}) {
		SCOPED_TRACE(std::string(r.request) + " " + std::to_string(r.object));
		enable();
		sim::clear_records();
		sim::fail_request(r.request, r.err, 1, r.object);
		EXPECT_EQ(cycle(), "");
		EXPECT_EQ(g_vsync_count.load(), 0);
		EXPECT_TRUE(sim::commits().empty());
		EXPECT_EQ(plays(cycle()), 1);
		EXPECT_EQ(g_vsync_count.load(), 1);
	}
}

TEST(VsyncControl, PrintsTheStatusLineAndRestartsTheCount)
{
	struct step {
		int enable;
		bool exit;
		const char *line;
		bool enabled;
	};
	const step steps[] = {
	        {1, false, "vsync_control: enable=1 exit=0\n", true},
	        {0, false, "vsync_control: enable=0 exit=0\n", false},
	        {7, false, "vsync_control: enable=1 exit=0\n", true},
	        {0, true, "vsync_control: enable=0 exit=1\n", false},
	        {-1, true, "vsync_control: enable=1 exit=1\n", true},
	};
	for (const step &s : steps) {
		SCOPED_TRACE(s.line);
		g_vsync.exit = s.exit;
		g_vsync_count = 5;
		output_capture cap;
		EXPECT_EQ(vsync_control(s.enable), 0);
		EXPECT_EQ(cap.stop(), s.line);
		EXPECT_EQ(g_vsync.enable.load(), s.enabled);
		EXPECT_EQ(g_vsync_count.load(), 0);
	}
	g_vsync.exit = false;
	g_vsync.enable = false;
}

} // namespace
