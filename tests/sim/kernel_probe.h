// Reads the report of a probe program (tests/sim/kernel-probes/*.txt, or simkms-probe's output)
// into plain records, for the tests that hold the driver presets to what the kernel reported.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace probe
{

struct mode {
	std::string name;
	int width = 0, height = 0, refresh = 0;
	uint32_t clock = 0;
	bool preferred = false;
};

struct connector {
	uint32_t id = 0, type = 0, encoder = 0;
	bool connected = false;
	std::vector<mode> modes;
};

struct encoder {
	uint32_t id = 0, type = 0, crtc = 0, possible_crtcs = 0;
};

struct crtc {
	uint32_t id = 0, fb = 0;
	int pipe = 0;
	int width = 0, height = 0, refresh = 0;
};

struct plane {
	uint32_t id = 0, possible_crtcs = 0, crtc = 0, fb = 0;
	std::string type; // "primary", "overlay", "cursor"
	std::vector<std::string> formats;
};

struct report {
	std::string driver;
	std::string desc;                        // the description in parentheses
	std::map<std::string, std::string> caps; // "DUMB_PREFERRED_DEPTH" -> "24"
	int min_width = -1, min_height = -1, max_width = -1, max_height = -1;
	std::vector<connector> connectors;
	std::vector<encoder> encoders;
	std::vector<crtc> crtcs;
	std::vector<plane> planes;
	std::vector<std::string> vblank_results; // "OK" or the error text, in report order
	std::map<std::string, std::string> dumb; // "64x48 bpp24" -> "pitch=192 ..." / "FAILED ..."
	std::map<std::string, std::string> addfb2; // "RG24" -> "OK" / error text / "no dumb buffer"
	std::vector<std::string> lines;
};

inline bool starts_with(const std::string &s, const char *prefix)
{
	return s.rfind(prefix, 0) == 0;
}

inline report parse(const std::string &text)
{
	report r;
	std::istringstream in(text);
	std::string line;
	while (std::getline(in, line)) {
		r.lines.push_back(line);
		char buf[256] = {};
		char name[64] = {};
		unsigned a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
		int n = 0;
		if (starts_with(line, "driver: ")) {
			r.driver = line.substr(8, line.find(' ', 8) - 8);
			const size_t open = line.find(" (");
			const size_t close = line.rfind(") ");
			if (open != std::string::npos && close != std::string::npos && close > open)
				r.desc = line.substr(open + 2, close - open - 2);
		} else if (starts_with(line, "caps: ")) {
			std::istringstream caps(line.substr(6));
			std::string cap;
			while (caps >> cap) {
				const size_t eq = cap.find('=');
				r.caps[cap.substr(0, eq)] = cap.substr(eq + 1);
			}
		} else if (sscanf(line.c_str(), "fb size limits: %dx%d .. %dx%d", &r.min_width,
		                  &r.min_height, &r.max_width, &r.max_height) == 4) {
		} else if (sscanf(line.c_str(),
		                  "connector %u: type %u (%63[^)]) %255[^,], encoder %u", &a, &b,
		                  name, buf, &c) == 5) {
			r.connectors.push_back({a, b, c, std::string(buf) == "connected", {}});
		} else if (starts_with(line, "    mode ") && !r.connectors.empty()) {
			int w = 0, h = 0, hz = 0;
			if (sscanf(line.c_str(), "    mode %63s %dx%d@%d clock %u%n", name, &w, &h,
			           &hz, &a, &n) == 5)
				r.connectors.back().modes.push_back(
				        {name, w, h, hz, a,
				         line.substr(size_t(n)) == " preferred"});
		} else if (sscanf(line.c_str(), "encoder %u: type %u crtc %u possible_crtcs %x", &a,
		                  &b, &c, &d) == 4) {
			r.encoders.push_back({a, b, c, d});
		} else if (sscanf(line.c_str(), "crtc %u (pipe %u): fb %u, mode %ux%u@%u", &a, &b,
		                  &c, &d, &e, &f) == 6) {
			r.crtcs.push_back({a, c, int(b), int(d), int(e), int(f)});
		} else if (sscanf(line.c_str(),
		                  "plane %u: %63s possible_crtcs %x crtc %u fb %u formats(%u): %n",
		                  &a, name, &b, &c, &d, &e, &n) == 6) {
			plane p{a, b, c, d, name, {}};
			std::istringstream fmts(line.substr(size_t(n)));
			std::string fmt;
			while (fmts >> fmt)
				p.formats.push_back(fmt);
			r.planes.push_back(p);
		} else if (starts_with(line, "vblank pipe ")) {
			const size_t colon = line.find("): ");
			if (colon != std::string::npos)
				r.vblank_results.push_back(
				        line.substr(colon + 3, line.find(',', colon) - colon - 3));
		} else if (starts_with(line, "dumb ")) {
			const size_t colon = line.find(": ");
			r.dumb[line.substr(5, colon - 5)] = line.substr(colon + 2);
		} else if (starts_with(line, "addfb2 ")) {
			const size_t colon = line.find(": ");
			r.addfb2[line.substr(7, 4)] = line.substr(colon + 2);
		}
	}
	return r;
}

inline std::string read_file(const std::string &path)
{
	std::ifstream in(path);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

} // namespace probe
