// The LD_PRELOAD card end to end: simkms-probe (a plain libdrm program) runs as a child process
// under libsimkms_preload.so; the test configures the card through SIMKMS_CONFIG and drives and
// inspects it through the control socket and simkms-ctl.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "tests/sim/preload_child.h"
#include "tests/support/wait.h"

namespace
{

using preload::channel;
using preload::child;
using preload::temp_dir;

struct probe_ids {
	std::vector<std::string> connectors, encoders, crtcs, planes;
};

// The object ids in the order simkms-probe listed them.
probe_ids ids_in(const std::string &report)
{
	probe_ids ids;
	std::istringstream in(report);
	std::string line;
	std::smatch m;
	const std::regex def(R"(^(connector|encoder|crtc|plane) (\d+)(:| \(pipe))");
	while (std::getline(in, line)) {
		if (!std::regex_search(line, m, def))
			continue;
		auto &list = m[1] == "connector" ? ids.connectors
		             : m[1] == "encoder" ? ids.encoders
		             : m[1] == "crtc"    ? ids.crtcs
		                                 : ids.planes;
		list.push_back(m[2]);
	}
	return ids;
}

std::string joined(const std::vector<std::string> &v)
{
	std::string s;
	for (const std::string &x : v)
		s += " " + x;
	return s;
}

// The framebuffer ids of the "fb N: WxH pitch P" lines following the last line that starts
// with `after`.
std::vector<std::string> fbs_after(const std::string &report, const std::string &after)
{
	std::vector<std::string> fbs;
	std::istringstream in(report);
	std::string line;
	std::smatch m;
	while (std::getline(in, line)) {
		if (line.rfind(after, 0) == 0)
			fbs.clear();
		else if (std::regex_search(line, m, std::regex(R"(^fb (\d+): )")))
			fbs.push_back(m[1]);
	}
	return fbs;
}

// The pixel at (x, y) of a binary PPM file.
std::vector<int> ppm_pixel(const std::string &ppm, int x, int y)
{
	std::istringstream in(ppm);
	std::string magic;
	int w = 0, h = 0, max = 0;
	in >> magic >> w >> h >> max;
	in.get();
	const size_t at = size_t(in.tellg()) + (size_t(y) * w + x) * 3;
	if (magic != "P6" || at + 3 > ppm.size())
		return {};
	return {uint8_t(ppm[at]), uint8_t(ppm[at + 1]), uint8_t(ppm[at + 2])};
}

class preload_card : public testing::Test
{
protected:
	void start(const std::string &config_text, bool hold = true)
	{
		ASSERT_FALSE(dir.path().empty());
		sock = dir.file("ctl.sock");
		config = dir.file("card.conf");
		preload::write_text(config, "control " + sock + "\n" + config_text);
		std::vector<std::string> argv = {SIMKMS_PROBE_PATH};
		if (hold)
			argv.push_back("--hold");
		probe = std::make_unique<child>(argv, preload::child_environment(config));
		ASSERT_TRUE(probe->started());
		report = probe->read_until("SHOWN");
		ASSERT_NE(report.find("\nSHOWN\n"), std::string::npos) << report;
		ids = ids_in(report);
		ctl = std::make_unique<channel>(sock);
	}

	// The connectors as the probe reports them now.
	std::string rescan()
	{
		probe->send("\n");
		return probe->read_until("END");
	}

	void TearDown() override
	{
		ctl.reset();
		if (probe) {
			probe->close_stdin();
			EXPECT_EQ(probe->wait(), 0) << probe->error_output();
		}
	}

	temp_dir dir;
	std::string sock, config, report;
	std::unique_ptr<child> probe;
	std::unique_ptr<channel> ctl;
	probe_ids ids;
};

TEST_F(preload_card, ids_and_properties_match_what_libdrm_saw)
{
	start("preset two-hdmi\n");
	ASSERT_EQ(ids.connectors.size(), 2u);
	ASSERT_EQ(ids.planes.size(), 5u);
	EXPECT_EQ(ctl->command("ids"), "connectors" + joined(ids.connectors) + "\n" + "encoders" +
	                                       joined(ids.encoders) + "\n" + "crtcs" +
	                                       joined(ids.crtcs) + "\n" + "planes" +
	                                       joined(ids.planes) + "\nok\n");
	EXPECT_EQ(ctl->command("property " + ids.crtcs[0] + " ACTIVE"), "1\nok\n");
	EXPECT_EQ(ctl->command("property " + ids.crtcs[1] + " ACTIVE"), "0\nok\n");
	EXPECT_EQ(ctl->command("property " + ids.connectors[0] + " CRTC_ID"),
	          ids.crtcs[0] + "\nok\n");
	EXPECT_EQ(ctl->command("property " + ids.connectors[0] + " ACTIVE"),
	          "error object " + ids.connectors[0] + " has no property ACTIVE\n");
}

// The probe's commits as the card recorded them: a refused RG24 test on the primary plane,
// the XR24 mode set with its thirteen properties in request order, then 30 page flips.
TEST_F(preload_card, commits_are_reported_as_ordered_triples)
{
	start("preset hdmi-1080p\n");
	const std::vector<std::string> rg24 = fbs_after(report, "primary plane");
	const std::vector<std::string> xr24 = fbs_after(report, "atomic commit TEST_ONLY");
	ASSERT_EQ(rg24.size(), 4u) << report; // the RG24 pair, then the XR24 pair
	ASSERT_EQ(xr24.size(), 2u) << report;
	const std::string conn = ids.connectors[0], crtc = ids.crtcs[0], plane = ids.planes[0];
	const std::vector<std::string> lines = preload::lines_of(ctl->command("commits"));
	ASSERT_EQ(lines.size(), 1u + 1 + 30 + 1) << ctl->command("commits");
	EXPECT_EQ(lines.back(), "ok");

	// libdrm sends the properties sorted by object id, then property id (the kernel's order
	// of creation: SRC_*, CRTC_*, FB_ID, CRTC_ID; ACTIVE, MODE_ID).
	ASSERT_LT(std::stoul(plane), std::stoul(crtc));
	ASSERT_LT(std::stoul(crtc), std::stoul(conn));
	auto setting = [&](const std::string &blob, const std::string &fb) {
		return plane + ":SRC_X=0 " + plane + ":SRC_Y=0 " + plane +
		       ":SRC_W=" + std::to_string(1920 << 16) + " " + plane +
		       ":SRC_H=" + std::to_string(1080 << 16) + " " + plane + ":CRTC_X=0 " + plane +
		       ":CRTC_Y=0 " + plane + ":CRTC_W=1920 " + plane + ":CRTC_H=1080 " + plane +
		       ":FB_ID=" + fb + " " + plane + ":CRTC_ID=" + crtc + " " + crtc +
		       ":ACTIVE=1 " + crtc + ":MODE_ID=" + blob + " " + conn + ":CRTC_ID=" + crtc;
	};
	const std::string mode_blob =
	        preload::lines_of(ctl->command("property " + crtc + " MODE_ID"))[0];
	// The refused RG24 test named its own mode blob, destroyed since.
	EXPECT_TRUE(std::regex_match(
	        lines[0], std::regex("flags=0x500 error=EINVAL " + setting("\\d+", rg24[0]))))
	        << lines[0];
	EXPECT_EQ(lines[1], "flags=0x400 error=0 " + setting(mode_blob, xr24[0]));
	for (int i = 0; i < 30; i++)
		EXPECT_EQ(lines[2 + i],
		          "flags=0x201 error=0 " + plane + ":FB_ID=" + xr24[(i + 1) % 2]);

	EXPECT_EQ(ctl->command("clear-records"), "ok\n");
	EXPECT_EQ(ctl->command("commits"), "ok\n");
	EXPECT_EQ(ctl->command("requests"), "ok\n");
	rescan();
	// A rescan is connector and property requests only, the connector's among them.
	const std::string req = ctl->command("requests");
	EXPECT_TRUE(
	        std::regex_match(req, std::regex("((MODE_GETCONNECTOR|MODE_OBJ_GETPROPERTIES|"
	                                         "MODE_GETPROPERTY) error=0 [^\\n]*\\n)+ok\\n")))
	        << req;
	EXPECT_TRUE(std::regex_search(req, std::regex("(^|\\n)MODE_GETCONNECTOR error=0 "
	                                              "connection=1 connector_id=" +
	                                              conn + " connector_type=11 ")))
	        << req;
}

TEST_F(preload_card, live_objects_screen_and_captures)
{
	start("preset hdmi-1080p\ncapture_dir " + dir.file("shots") + "\n");
	// Two framebuffers on screen, their dumb buffers unmapped, the mode blob of the commit.
	EXPECT_EQ(ctl->command("live"),
	          "files=1 dumb_buffers=2 mappings=0 framebuffers=2 blobs=1\nok\n");

	EXPECT_EQ(ctl->command("screen 0 " + dir.file("screen.ppm")), "1920x1080\nok\n");
	const std::string ppm = preload::read_text(dir.file("screen.ppm"));
	EXPECT_EQ(ppm.substr(0, 15), "P6\n1920 1080\n25");
	// simkms-probe's colour bars: red, green, blue, white quarters.
	EXPECT_EQ(ppm_pixel(ppm, 100, 500), (std::vector<int>{255, 0, 0}));
	EXPECT_EQ(ppm_pixel(ppm, 700, 10), (std::vector<int>{0, 255, 0}));
	EXPECT_EQ(ppm_pixel(ppm, 1200, 1079), (std::vector<int>{0, 0, 255}));
	EXPECT_EQ(ppm_pixel(ppm, 1919, 0), (std::vector<int>{255, 255, 255}));

	EXPECT_EQ(ctl->command("screen 0 " + dir.file("screen.png")), "1920x1080\nok\n");
	EXPECT_EQ(preload::read_text(dir.file("screen.png")).substr(1, 3), "PNG");

	// The mode set changed the picture once; the 30 flips between equal pictures did not.
	const std::string shot = dir.file("shots") + "/000001-crtc0.png";
	EXPECT_EQ(ctl->command("captures"), "written=1 failed=0 last=" + shot + "\nok\n");
	EXPECT_EQ(preload::read_text(shot).substr(1, 3), "PNG");
}

TEST_F(preload_card, hot_plug_changes_the_connector_as_libdrm_sees_it)
{
	start("preset hdmi-1080p\n");
	const std::string conn = ids.connectors[0];
	EXPECT_NE(rescan().find("connector " + conn + ": type 11 (HDMI-A-1) connected, encoder "),
	          std::string::npos);

	// Unplugged; plugged in again, the monitor offers the topology's modes; then other
	// monitors, with modes of their own.
	const std::pair<std::string, std::string> steps[] = {
	        {"disconnect 0",
	         "connector " + conn +
	                 R"(: type 11 \(HDMI-A-1\) disconnected, encoder \d+, 0 modes\n)"},
	        {"connect 0", R"(connected, encoder \d+, 6 modes\n)"
	                      R"(    mode 1920x1080 1920x1080@60 clock 148500 preferred\n)"},
	        {"connect 0 1280x720@50 640x480*",
	         R"(connected, encoder \d+, 2 modes\n)"
	         R"(    mode 640x480 640x480@60 clock \d+ preferred\n)"
	         R"(    mode 1280x720 1280x720@50 clock \d+\n)"},
	        {"connect 0 800x600", R"(connected, encoder \d+, 1 modes\n)"
	                              R"(    mode 800x600 800x600@60 clock \d+ preferred\n)"},
	};
	for (const auto &[command, shown] : steps) {
		EXPECT_EQ(ctl->command(command), "ok\n");
		const std::string now = rescan();
		EXPECT_TRUE(std::regex_search(now, std::regex(shown))) << command << "\n" << now;
	}
}

TEST_F(preload_card, faults_reach_the_program)
{
	start("preset hdmi-1080p\n");
	const std::string conn = ids.connectors[0];
	const std::string failed = "connector " + conn + ": FAILED ";

	// libdrm fetches a connector with two requests (sizes, then contents): the third request
	// from now is the first of the second rescan.
	EXPECT_EQ(ctl->command("fail MODE_GETCONNECTOR ENODEV 3 " + conn), "ok\n");
	EXPECT_EQ(rescan().find(failed), std::string::npos);
	EXPECT_NE(rescan().find(failed + "No such device\n"), std::string::npos);
	EXPECT_EQ(rescan().find(failed), std::string::npos);

	EXPECT_EQ(ctl->command("fail DRM_IOCTL_MODE_GETCONNECTOR 5"), "ok\n");
	EXPECT_NE(rescan().find(failed + "Input/output error\n"), std::string::npos);
	EXPECT_NE(rescan().find(failed + "Input/output error\n"), std::string::npos);
	EXPECT_EQ(ctl->command("clear-faults"), "ok\n");
	EXPECT_EQ(rescan().find(failed), std::string::npos);

	const std::string req = ctl->command("requests");
	for (const char *err : {"ENODEV", "EIO"})
		EXPECT_TRUE(std::regex_search(
		        req, std::regex(std::string("\\nMODE_GETCONNECTOR error=") + err +
		                        " [^\\n]*connector_id=" + conn + " ")))
		        << err;
}

TEST_F(preload_card, mistakes_are_answered_with_an_error_line)
{
	start("preset hdmi-1080p\n");
	const std::pair<const char *, const char *> cases[] = {
	        {"", "error empty command\n"},
	        {"frobnicate", "error unknown command frobnicate\n"},
	        {"connect", "error wrong arguments for connect (see help)\n"},
	        {"connect 1", "error no connector 1\n"},
	        {"disconnect -1", "error no connector -1\n"},
	        {"connect 0 1920x", "error bad mode 1920x\n"},
	        {"connect 0 0x480", "error bad mode 0x480\n"},
	        {"connect 0 640x480@0", "error bad mode 640x480@0\n"},
	        {"fail MODE_GETFOO EINVAL", "error unknown request MODE_GETFOO\n"},
	        {"fail MODE_ATOMIC EWHAT", "error bad errno EWHAT\n"},
	        {"fail MODE_ATOMIC 22 -1", "error bad count -1\n"},
	        {"fail MODE_ATOMIC 22 1 x", "error bad object id x\n"},
	        {"fail-mmap 0", "error bad errno 0\n"},
	        {"screen 1 /tmp/x.png", "error no crtc 1\n"},
	        {"screen 0 /tmp/x.bmp", "error name ends in neither .png nor .ppm: /tmp/x.bmp\n"},
	        {"screen 0 /nonexistent-simkms/x.png",
	         "error cannot write /nonexistent-simkms/x.png\n"},
	        {"vblank 3", "error no crtc 3\n"},
	        {"property 999999 FB_ID", "error object 999999 has no property FB_ID\n"},
	        {"live now", "error wrong arguments for live (see help)\n"},
	};
	for (const auto &[command, reply] : cases)
		EXPECT_EQ(ctl->command(command), reply) << command;
	const std::string help = ctl->command("help");
	EXPECT_NE(help.find("\nfail <REQUEST> <errno> [nth] [object_id]\n"), std::string::npos);
	EXPECT_EQ(help.substr(help.size() - 3), "ok\n");
	// The channel still serves after the mistakes.
	EXPECT_EQ(ctl->command("property " + ids.crtcs[0] + " ACTIVE"), "1\nok\n");
}

// The counter counts 1920x1080@60 frame periods: between two readings it advances by the
// periods between them, give or take the one in progress at each reading.
TEST_F(preload_card, vblank_counter_advances_at_the_refresh_rate)
{
	start("preset hdmi-1080p\n");
	const int64_t a0 = preload::now_ms();
	const std::vector<std::string> a = preload::lines_of(ctl->command("vblank 0"));
	const int64_t a1 = preload::now_ms();
	ASSERT_EQ(a.size(), 2u);
	// Read again until at least 12 frames (200 ms) passed.
	std::vector<std::string> b;
	int64_t b0 = 0, b1 = 0;
	EXPECT_TRUE(wait_until(
	        [&] {
		        b0 = preload::now_ms();
		        b = preload::lines_of(ctl->command("vblank 0"));
		        b1 = preload::now_ms();
		        return b.size() == 2 && std::stol(b[0]) - std::stol(a[0]) >= 12;
	        },
	        k_wait_deadline, std::chrono::milliseconds(20)));
	ASSERT_EQ(b.size(), 2u);
	const double period_ms = 1000.0 / 60;
	const long n = std::stol(b[0]) - std::stol(a[0]);
	EXPECT_GE(n, long((b0 - a1 - 1) / period_ms) - 1);
	EXPECT_LE(n, long((b1 - a0 + 1) / period_ms) + 1);
}

TEST_F(preload_card, log_holds_every_request_and_commit)
{
	const std::string log = dir.file("card.log");
	start("preset hdmi-1080p\nlog " + log + "\n");
	const std::vector<std::string> commits = preload::lines_of(ctl->command("commits"));
	ASSERT_EQ(commits.size(), 33u);

	// The log is written by the channel's thread at least every 250 ms.
	std::string text;
	EXPECT_TRUE(wait_until(
	        [&] {
		        text = preload::read_text(log);
		        return text.find("commit flags=0x201") != std::string::npos;
	        },
	        k_wait_deadline, std::chrono::milliseconds(50)));
	std::vector<std::string> logged_commits;
	const std::vector<std::string> lines = preload::lines_of(text);
	for (size_t i = 0; i < lines.size(); i++) {
		if (lines[i].rfind("commit ", 0) != 0)
			continue;
		logged_commits.push_back(lines[i].substr(7));
		ASSERT_GT(i, 0u);
		EXPECT_EQ(lines[i - 1].rfind("request MODE_ATOMIC error=", 0), 0u) << lines[i - 1];
	}
	EXPECT_EQ(logged_commits, std::vector<std::string>(commits.begin(), commits.end() - 1));
	EXPECT_EQ(lines.front().rfind("request ", 0), 0u);
	EXPECT_NE(std::find(lines.begin(), lines.end(),
	                    "request MODE_CREATE_DUMB error=0 bpp=24 "
	                    "flags=0 handle=1 height=48 pitch=192 "
	                    "size=12288 width=64"),
	          lines.end())
	        << text;
}

// The preload library keeps its own descriptors (the control socket and its connections, the
// log) out of the way, so the program's first card descriptor is 3, as on the kernel.
TEST_F(preload_card, the_programs_card_descriptor_is_3)
{
	const std::string log = dir.file("card.log");
	start("preset cirrus\nlog " + log + "\ncapture_dir " + dir.file("shots") + "\n");
	ASSERT_EQ(ctl->command("clear-records"), "ok\n"); // the connection is being served
	const std::string fds = "/proc/" + std::to_string(probe->pid()) + "/fd/";
	auto target = [&](int fd) {
		char buf[512];
		const ssize_t n = readlink((fds + std::to_string(fd)).c_str(), buf, sizeof buf - 1);
		return n < 0 ? std::string() : std::string(buf, size_t(n));
	};
	EXPECT_EQ(target(3), "anon_inode:[timerfd]");
	int sockets = 0, logs = 0;
	for (int fd = 0; fd < 1024; fd++) {
		const std::string t = target(fd);
		const bool own = t.rfind("socket:", 0) == 0 || t == log;
		if (!own)
			continue;
		EXPECT_GE(fd, 100) << t;
		sockets += t != log;
		logs += t == log;
	}
	EXPECT_EQ(sockets, 2); // listening and connected
	EXPECT_EQ(logs, 1);
}

// Driver settings in the file reach the card: a cirrus card told to scale, to keep vblank, to
// align pitches to 256 bytes and to read RG24 red first.
TEST_F(preload_card, settings_change_the_presets_driver)
{
	start("preset cirrus\ncan_scale 1\nvblank 1\npitch_align 256\nrg24_red_first 1\n");
	EXPECT_NE(report.find("\ndumb 64x48 bpp24: pitch=256 size=12288 (min pitch 192)\n"),
	          std::string::npos)
	        << report;
	EXPECT_NE(report.find("\natomic commit TEST_ONLY (ALLOW_MODESET, src 640x480 -> crtc "
	                      "1024x768): OK\n"),
	          std::string::npos)
	        << report;
	EXPECT_TRUE(std::regex_search(report,
	                              std::regex(R"(\nvblank pipe 0 \(RELATIVE, seq 1\): OK, )")))
	        << report;
	// The probe's red bar is stored blue byte first (00 00 FF); read red first it shows blue.
	ASSERT_EQ(ctl->command("screen 0 " + dir.file("s.ppm")), "1024x768\nok\n");
	const std::string ppm = preload::read_text(dir.file("s.ppm"));
	EXPECT_EQ(ppm_pixel(ppm, 10, 10), (std::vector<int>{0, 0, 255}));
	EXPECT_EQ(ppm_pixel(ppm, 300, 10), (std::vector<int>{0, 255, 0}));
	EXPECT_EQ(ppm_pixel(ppm, 600, 10), (std::vector<int>{255, 0, 0}));
}

TEST_F(preload_card, simkms_ctl_prints_replies_and_reports_errors)
{
	start("preset hdmi-1080p\n");
	ctl.reset(); // the channel serves one connection at a time
	struct run {
		std::vector<std::string> argv;
		int status;
		std::string out, err;
	};
	const std::string nosock = dir.file("none.sock");
	const run runs[] = {
	        {{SIMKMS_CTL_PATH, sock, "property", ids.crtcs[0], "ACTIVE"}, 0, "1\n", ""},
	        {{SIMKMS_CTL_PATH, sock, "clear-faults"}, 0, "", ""},
	        {{SIMKMS_CTL_PATH, sock, "connect", "7"}, 1, "", "simkms-ctl: no connector 7\n"},
	        {{SIMKMS_CTL_PATH, nosock, "live"},
	         2,
	         "",
	         "simkms-ctl: " + nosock + ": No such file or directory\n"},
	        {{SIMKMS_CTL_PATH, sock},
	         2,
	         "",
	         "usage: simkms-ctl <socket> <command> [arguments...]\n"},
	};
	std::vector<std::string> env;
	for (char **e = environ; *e; e++)
		env.push_back(*e);
	for (const run &r : runs) {
		child c(r.argv, env);
		ASSERT_TRUE(c.started());
		c.close_stdin();
		const std::string out = c.rest_of_output();
		EXPECT_EQ(c.wait(), r.status) << r.argv.back();
		EXPECT_EQ(out, r.out) << r.argv.back();
		EXPECT_EQ(c.error_output(), r.err) << r.argv.back();
	}
}

TEST(preload_config, a_bad_file_stops_the_program_with_its_reason)
{
	temp_dir dir;
	const std::string config = dir.file("card.conf");
	preload::write_text(config, "# card\npreset hdmi-8k\n");
	for (const auto &[path, message] :
	     {std::pair{config, config + ": line 2: unknown preset \"hdmi-8k\""},
	      std::pair{dir.file("missing.conf"),
	                dir.file("missing.conf") + ": No such file or directory"}}) {
		child probe({SIMKMS_PROBE_PATH}, preload::child_environment(path));
		ASSERT_TRUE(probe.started());
		EXPECT_EQ(probe.rest_of_output(), "");
		EXPECT_EQ(probe.wait(), 2);
		EXPECT_EQ(probe.error_output(), "simkms: " + message + "\n");
	}
}

TEST(preload_config, without_a_file_the_card_is_one_hdmi_monitor)
{
	child probe({SIMKMS_PROBE_PATH}, preload::child_environment(""));
	ASSERT_TRUE(probe.started());
	const std::string out = probe.rest_of_output();
	EXPECT_EQ(probe.wait(), 0) << probe.error_output();
	EXPECT_TRUE(
	        std::regex_search(out, std::regex(R"(\nconnector \d+: type 11 \(HDMI-A-1\) )"
	                                          R"(connected, encoder \d+, 6 modes\n)"
	                                          R"(    mode 1920x1080 1920x1080@60 clock 148500 )"
	                                          R"(preferred\n)")))
	        << out;
	EXPECT_NE(out.find("\nSHOWN\n"), std::string::npos) << out;
}

} // namespace
