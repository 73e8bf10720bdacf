// DRM master on the virtual card: who may set the display, and how it passes from one program to
// the next.
#include "tests/sim/card_fixture.h"
#include "tools/standin.h"

namespace
{

using namespace card_test;

class card_master : public card
{
protected:
	void SetUp() override
	{
		card::SetUp();
		other_ = open_card();
		ASSERT_GE(other_, 0);
		ASSERT_EQ(set_atomic(fd_), 0);
		ASSERT_EQ(set_atomic(other_), 0);
	}
	void TearDown() override
	{
		if (other_ >= 0)
			close(other_);
		card::TearDown();
	}
	int full_screen(int fd, int plane)
	{
		const uint32_t fb = make_fb(fd, 1920, 1080);
		return show(request(fd), plane, 0, fb, 1920, 1080, 0, 0, 1920, 1080).commit();
	}
	int other_ = -1;
};

TEST_F(card_master, the_first_opener_is_master_and_only_the_master_sets_the_display)
{
	EXPECT_TRUE(sim::live().master);
	EXPECT_EQ(full_screen(other_, 2), EACCES);
	uint32_t connector = sim::connector_id(0);
	drmModeModeInfo mode = connector_mode(other_, 0, 1);
	EXPECT_EQ(drmModeSetCrtc(other_, sim::crtc_id(0), 0, 0, 0, &connector, 1, &mode), -EACCES);
	EXPECT_EQ(drmModePageFlip(other_, sim::crtc_id(0), 0, 0, nullptr), -EACCES);
	// Reading the card and making buffers need no mastership.
	EXPECT_NE(value_of(other_, sim::plane_id(0), k_plane, "FB_ID"), UINT64_MAX);
	EXPECT_NE(make_fb(other_, 64, 64), 0u);
	EXPECT_EQ(full_screen(fd_, 2), 0);
}

TEST_F(card_master, set_master_is_ebusy_while_another_file_is_master_drop_master_einval_from_others)
{
	EXPECT_EQ(errno_of([&] { return drmSetMaster(other_); }), EBUSY);
	EXPECT_EQ(errno_of([&] { return drmDropMaster(other_); }), EINVAL);
	EXPECT_EQ(drmSetMaster(fd_), 0) << "the master asking again";
	EXPECT_EQ(drmDropMaster(fd_), 0);
	EXPECT_FALSE(sim::live().master);
	EXPECT_EQ(errno_of([&] { return drmDropMaster(fd_); }), EINVAL);
	EXPECT_EQ(full_screen(fd_, 2), EACCES);
	EXPECT_EQ(drmSetMaster(other_), 0);
	EXPECT_EQ(errno_of([&] { return drmSetMaster(fd_); }), EBUSY);
	EXPECT_EQ(full_screen(other_, 2), 0);
}

TEST_F(card_master, without_cap_sys_admin_only_a_file_that_was_master_sets_or_drops_it)
{
	sim::set_sys_admin(false);
	EXPECT_EQ(errno_of([&] { return drmSetMaster(other_); }), EACCES);
	EXPECT_EQ(errno_of([&] { return drmDropMaster(other_); }), EACCES);
	EXPECT_EQ(drmDropMaster(fd_), 0);
	EXPECT_EQ(errno_of([&] { return drmSetMaster(other_); }), EACCES);
	EXPECT_EQ(drmSetMaster(fd_), 0);
}

TEST_F(card_master, closing_the_master_lets_another_file_take_it)
{
	close(fd_);
	fd_ = -1;
	EXPECT_FALSE(sim::live().master) << "an open file does not become master by itself";
	EXPECT_EQ(full_screen(other_, 2), EACCES);
	EXPECT_EQ(drmSetMaster(other_), 0);
	EXPECT_EQ(full_screen(other_, 2), 0);
}

// The hand-over without a flash: the old master keeps its file and picture while the next one
// takes over; its own close then changes nothing on the screen.
TEST_F(card_master, a_picture_passes_to_the_next_master_and_stays_when_the_old_one_closes)
{
	ASSERT_EQ(full_screen(fd_, 2), 0);
	ASSERT_EQ(drmDropMaster(fd_), 0);
	ASSERT_EQ(drmSetMaster(other_), 0);
	const uint32_t theirs = make_fb(other_, 1920, 1080, DRM_FORMAT_XRGB8888, 0x40);
	ASSERT_EQ(show(request(other_), 0, 0, theirs, 1920, 1080, 0, 0, 1920, 1080)
	                  .set(sim::plane_id(2), k_plane, "FB_ID", 0)
	                  .set(sim::plane_id(2), k_plane, "CRTC_ID", 0)
	                  .commit(),
	          0);
	close(fd_);
	fd_ = -1;
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), theirs);
	EXPECT_EQ(sim::screen(0).pixel(960, 540)[1], 0x40);
	EXPECT_TRUE(sim::live().master);
}

// The stand-in compositor: retries until the player lets go, then takes the whole display.
TEST_F(card_master, the_stand_in_shows_its_picture_once_the_master_lets_go)
{
	ASSERT_EQ(full_screen(fd_, 2), 0);
	ASSERT_EQ(drmDropMaster(fd_), 0);
	std::vector<std::string> said;
	standin::shown shown;
	ASSERT_TRUE(standin::show(
	        other_, [&](const std::string &l) { said.push_back(l); }, &shown));
	ASSERT_EQ(said.size(), 2u);
	EXPECT_EQ(said[0].rfind("standin: master after ", 0), 0u) << said[0];
	EXPECT_EQ(said[1], "standin: shown 1920x1080 on crtc " + std::to_string(sim::crtc_id(0)));
	EXPECT_EQ(sim::property_value(sim::plane_id(2), "FB_ID"), 0u) << "switched off with it";
	const sim::image img = sim::screen(0);
	ASSERT_EQ(img.width, 1920u);
	for (uint32_t x : {0u, 31u, 32u, 1919u})
		EXPECT_EQ(std::vector<uint8_t>(img.pixel(x, 1079), img.pixel(x, 1079) + 3),
		          std::vector<uint8_t>(standin::colour_at(x, 1079),
		                               standin::colour_at(x, 1079) + 3))
		        << x;
}

} // namespace
