// The differential test of the driver presets: simkms-probe runs under the LD_PRELOAD card
// configured as each kernel driver, and its report must match, line by line, what the same
// kind of probe reported on the real driver (tests/sim/kernel-probes). Object ids are compared
// by role (the first connector, the second plane, ...), framebuffer and blob ids only as
// present or absent, and times not at all.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/sim/preload_child.h"

namespace
{

using preload::lines_of;

bool starts_with(const std::string &s, const char *prefix)
{
	return s.rfind(prefix, 0) == 0;
}

// Masks values that differ from run to run and, unless `keep_ids`, replaces object ids by their
// role.
std::vector<std::string> normalise(const std::vector<std::string> &lines, bool keep_ids = false)
{
	std::map<std::string, std::map<std::string, std::string>> roles; // kind -> id -> role
	const std::regex defining(R"(^(connector|encoder|crtc|plane) (\d+)(:| \(pipe))");
	for (const std::string &l : lines) {
		std::smatch m;
		if (std::regex_search(l, m, defining)) {
			auto &ids = roles[m[1]];
			static const std::map<std::string, std::string> tags = {
			        {"connector", "conn"},
			        {"encoder", "enc"},
			        {"crtc", "crtc"},
			        {"plane", "plane"}};
			if (!ids.count(m[2]))
				ids[m[2]] = tags.at(m[1]) + std::to_string(ids.size());
		}
	}
	auto role = [&](const std::string &kind, const std::string &id) {
		if (id == "0")
			return id;
		const auto it = roles[kind].find(id);
		return it == roles[kind].end() ? "?" + id : it->second;
	};

	std::vector<std::string> out;
	const std::regex object(R"(\b(connector|encoder|crtc|plane) (\d+))");
	const std::regex crtc_prop(R"(\bCRTC_ID=(\d+))");
	const std::regex fb(R"(\b(fb |FB_ID=)([1-9]\d*))");
	const std::regex blob(R"(\b(MODE_ID|IN_FORMATS|EDID|FB_DAMAGE_CLIPS)=([1-9]\d*))");
	const std::regex waited(R"(waited [0-9.]+ ms)");
	const std::regex vblank_seq(R"(: OK, seq=\d+)");
	const std::regex flip_interval(R"(, [0-9.]+ ms apart on average)");
	// Each object id, then each CRTC_ID value, by `replace` of its match.
	auto each = [](const std::string &text, const std::regex &re, auto replace) {
		std::string r;
		size_t last = 0;
		for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) {
			r += text.substr(last, size_t(it->position()) - last) + replace(*it);
			last = size_t(it->position() + it->length());
		}
		return r + text.substr(last);
	};
	for (const std::string &l : lines) {
		if (l.rfind("uevent:", 0) == 0)
			continue;
		std::string r = l;
		if (!keep_ids) {
			r = each(r, object, [&](const std::smatch &m) {
				return m[1].str() + " " + role(m[1], m[2]);
			});
			r = each(r, crtc_prop, [&](const std::smatch &m) {
				return "CRTC_ID=" + role("crtc", m[1]);
			});
			r = std::regex_replace(r, fb, "$1#");
			r = std::regex_replace(r, blob, "$1=#");
		}
		r = std::regex_replace(r, waited, "waited ~ ms");
		r = std::regex_replace(r, vblank_seq, ": OK, seq=~");
		out.push_back(std::regex_replace(r, flip_interval, ", ~ ms apart on average"));
	}
	return out;
}

// A line that the virtual card is known to report otherwise than the kernel, and why. Each
// entry must still differ: one that the card has come to match fails the test until removed.
struct known_difference {
	const char *driver;
	const char *kernel; // the normalised kernel line starts with this
	const char *card;   // and the card's line with this
	const char *why;
};

// None once ids are compared by role: the card agrees with every line the drivers reported.
const std::vector<known_difference> known_by_role = {};

// With the ids themselves: the kernel keeps the id of the framebuffer that cirrus's refused
// TEST_ONLY commit named (fb 38) after the probe removed it, so the next two get 39 and 40; the
// card frees that id at once and hands out 38 and 39 again.
const std::vector<known_difference> known_by_id = {
        {"cirrus", "fb 39: 1024x768 pitch 3072", "fb 38: 1024x768 pitch 3072",
         "the id of a framebuffer named in a refused commit is freed at once"},
        {"cirrus", "fb 40: 1024x768 pitch 3072", "fb 39: 1024x768 pitch 3072",
         "the id of a framebuffer named in a refused commit is freed at once"},
};

const known_difference *known(const std::vector<known_difference> &list, const std::string &driver,
                              const std::string &kernel_line)
{
	for (const known_difference &k : list)
		if ((driver == k.driver || std::string(k.driver) == "*") &&
		    starts_with(kernel_line, k.kernel))
			return &k;
	return nullptr;
}

class probe_on_preset : public testing::TestWithParam<const char *>
{
protected:
	// Runs simkms-probe on the card configured as the driver; its report, line by line.
	std::vector<std::string> card_report()
	{
		preload::temp_dir dir;
		EXPECT_FALSE(dir.path().empty());
		const std::string config = dir.file("card.conf");
		preload::write_text(config, "preset " + driver + "\n");
		preload::child probe({SIMKMS_PROBE_PATH}, preload::child_environment(config));
		EXPECT_TRUE(probe.started());
		output = probe.rest_of_output();
		EXPECT_EQ(probe.wait(), 0) << probe.error_output();
		return lines_of(output);
	}
	std::vector<std::string> kernel_report()
	{
		return lines_of(
		        preload::read_text(std::string(SIMKMS_PROBE_DIR "/") + driver + ".txt"));
	}
	// Every line where the card differs from the kernel other than as `known` lists, and every
	// entry of `known` that no longer differs.
	std::string differences(const std::vector<std::string> &ref,
	                        const std::vector<std::string> &got,
	                        const std::vector<known_difference> &list)
	{
		// The virtio reference run listened for a hot-plug instead of showing a picture, so
		// its report ends after the AddFB2 lines; the other reports are compared whole.
		if (driver == "virtio")
			EXPECT_GE(got.size(), ref.size());
		else
			EXPECT_EQ(got.size(), ref.size());
		std::string out;
		for (size_t i = 0; i < ref.size(); i++) {
			const std::string g = i < got.size() ? got[i] : "<missing>";
			const known_difference *k = known(list, driver, ref[i]);
			if (g == ref[i] && !k)
				continue;
			if (k && g != ref[i] && starts_with(g, k->card))
				continue;
			out += "line " + std::to_string(i + 1) + "\n  kernel: " + ref[i] +
			       "\n  card:   " + g + "\n";
			if (k)
				out += "  (listed as a known difference, " + std::string(k->why) +
				       ", but the card no longer reports it as listed)\n";
		}
		return out;
	}
	const std::string driver = GetParam();
	std::string output;
};

TEST_P(probe_on_preset, reports_what_the_kernel_driver_reported)
{
	const std::vector<std::string> ref = normalise(kernel_report());
	const std::vector<std::string> got = normalise(card_report());
	ASSERT_GT(ref.size(), 20u);
	EXPECT_EQ(differences(ref, got, known_by_role), "") << "full report of the card:\n"
	                                                    << output;
}

// The driver's creation order, fbdev emulation and the EDID blob give every object, blob and
// framebuffer the id the kernel gave it.
TEST_P(probe_on_preset, gives_objects_the_ids_the_kernel_gave)
{
	const std::vector<std::string> ref = normalise(kernel_report(), true);
	const std::vector<std::string> got = normalise(card_report(), true);
	ASSERT_GT(ref.size(), 20u);
	EXPECT_EQ(differences(ref, got, known_by_id), "") << "full report of the card:\n" << output;
}

INSTANTIATE_TEST_SUITE_P(kernel, probe_on_preset,
                         testing::Values("cirrus", "bochs", "virtio", "vkms", "simpledrm",
                                         "exynos4210"),
                         [](const testing::TestParamInfo<const char *> &p) {
	                         return std::string(p.param);
                         });

// The normalisation itself: roles follow the order of definition, unknown ids stay visible.
TEST(probe_report, ids_become_roles_and_times_are_masked)
{
	const std::vector<std::string> n = normalise({
	        "connector 52: type 15 (Virtual-1) connected, encoder 53, 1 modes",
	        "    props: DPMS=0 CRTC_ID=51 EDID=0",
	        "encoder 53: type 5 crtc 51 possible_crtcs 0x1",
	        "encoder 54: type 5 crtc 0 possible_crtcs 0x1",
	        "crtc 51 (pipe 0): fb 60, mode 1024x768@60, gamma 0",
	        "    props: ACTIVE=1 MODE_ID=61 OUT_FENCE_PTR=0",
	        "plane 31: primary possible_crtcs 0x1 crtc 51 fb 60 formats(1): XR24",
	        "    props: type=1 FB_ID=60 CRTC_ID=51 IN_FORMATS=32 CRTC_X=0",
	        "plane 33: overlay possible_crtcs 0x1 crtc 0 fb 0 formats(1): XR24",
	        "vblank pipe 0 (RELATIVE, seq 1): OK, seq=43, waited 14.5 ms",
	        "connector 52 crtc 51 (pipe 0) plane 77 mode 1024x768@60 format XR24 src 1024x768",
	        "30 page-flip events, 16.61 ms apart on average",
	        "uevent: listening 4 s",
	});
	EXPECT_EQ(
	        n,
	        (std::vector<std::string>{
	                "connector conn0: type 15 (Virtual-1) connected, encoder enc0, 1 modes",
	                "    props: DPMS=0 CRTC_ID=crtc0 EDID=0",
	                "encoder enc0: type 5 crtc crtc0 possible_crtcs 0x1",
	                "encoder enc1: type 5 crtc 0 possible_crtcs 0x1",
	                "crtc crtc0 (pipe 0): fb #, mode 1024x768@60, gamma 0",
	                "    props: ACTIVE=1 MODE_ID=# OUT_FENCE_PTR=0",
	                "plane plane0: primary possible_crtcs 0x1 crtc crtc0 fb # formats(1): XR24",
	                "    props: type=1 FB_ID=# CRTC_ID=crtc0 IN_FORMATS=# CRTC_X=0",
	                "plane plane1: overlay possible_crtcs 0x1 crtc 0 fb 0 formats(1): XR24",
	                "vblank pipe 0 (RELATIVE, seq 1): OK, seq=~, waited ~ ms",
	                "connector conn0 crtc crtc0 (pipe 0) plane ?77 mode 1024x768@60 format "
	                "XR24 src 1024x768",
	                "30 page-flip events, ~ ms apart on average",
	        }));
}

} // namespace
