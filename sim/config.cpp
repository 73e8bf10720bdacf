#include "sim/config.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

namespace sim
{

namespace
{

constexpr std::string_view blanks = " \t\r";

std::string_view trim(std::string_view s)
{
	const size_t first = s.find_first_not_of(blanks);
	if (first == std::string_view::npos)
		return {};
	const size_t last = s.find_last_not_of(blanks);
	return s.substr(first, last - first + 1);
}

std::optional<uint32_t> parse_positive(std::string_view s)
{
	uint32_t v = 0;
	const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
	if (ec != std::errc() || end != s.data() + s.size() || v == 0)
		return std::nullopt;
	return v;
}

std::optional<uint32_t> parse_count(std::string_view s)
{
	uint32_t v = 0;
	const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
	if (ec != std::errc() || end != s.data() + s.size() || v > INT32_MAX)
		return std::nullopt;
	return v;
}

std::optional<bool> parse_flag(std::string_view s)
{
	if (s == "0")
		return false;
	if (s == "1")
		return true;
	return std::nullopt;
}

struct overrides {
	std::optional<uint32_t> pitch_align;
	std::optional<bool> rg24_red_first;
	std::optional<bool> commit_waits_vblank;
	std::optional<bool> can_scale;
	std::optional<bool> vblank;
	std::optional<bool> console;
	std::optional<bool> render_card0;
	std::optional<uint32_t> display_card_delay_ms;
	std::optional<bool> connected;
};

std::string line_error(int line, const std::string &what)
{
	return "line " + std::to_string(line) + ": " + what;
}

} // namespace

std::optional<preload_config> parse_config(std::string_view text, std::string &error)
{
	preload_config cfg;
	overrides over;
	std::set<std::string, std::less<>> seen;
	int line_no = 0;

	while (!text.empty()) {
		const size_t nl = text.find('\n');
		const std::string_view raw = text.substr(0, nl);
		text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
		line_no++;

		const std::string_view line = trim(raw);
		if (line.empty() || line.front() == '#')
			continue;
		const size_t gap = line.find_first_of(blanks);
		const std::string_view key = line.substr(0, gap);
		const std::string_view value =
		        gap == std::string_view::npos ? std::string_view{} : trim(line.substr(gap));

		const std::string k(key);
		if (!seen.insert(k).second) {
			error = line_error(line_no, k + " given twice");
			return std::nullopt;
		}
		if (value.empty()) {
			error = line_error(line_no, k + " needs a value");
			return std::nullopt;
		}

		std::optional<bool> *flag = nullptr;
		if (key == "preset") {
			if (!preset(value)) {
				error = line_error(line_no,
				                   "unknown preset \"" + std::string(value) + "\"");
				return std::nullopt;
			}
			cfg.preset = std::string(value);
		} else if (key == "control") {
			cfg.control = std::string(value);
		} else if (key == "capture_dir") {
			cfg.capture_dir = std::string(value);
		} else if (key == "log") {
			cfg.log = std::string(value);
		} else if (key == "pitch_align") {
			over.pitch_align = parse_positive(value);
			if (!over.pitch_align) {
				error = line_error(line_no, "pitch_align needs a positive number");
				return std::nullopt;
			}
		} else if (key == "display_card_delay_ms") {
			over.display_card_delay_ms = parse_count(value);
			if (!over.display_card_delay_ms) {
				error = line_error(line_no, k + " needs a number of milliseconds");
				return std::nullopt;
			}
		} else if (key == "console") {
			flag = &over.console;
		} else if (key == "render_card0") {
			flag = &over.render_card0;
		} else if (key == "connected") {
			flag = &over.connected;
		} else if (key == "rg24_red_first") {
			flag = &over.rg24_red_first;
		} else if (key == "commit_waits_vblank") {
			flag = &over.commit_waits_vblank;
		} else if (key == "can_scale") {
			flag = &over.can_scale;
		} else if (key == "vblank") {
			flag = &over.vblank;
		} else {
			error = line_error(line_no, "unknown setting \"" + k + "\"");
			return std::nullopt;
		}
		if (flag) {
			*flag = parse_flag(value);
			if (!*flag) {
				error = line_error(line_no, k + " needs 0 or 1");
				return std::nullopt;
			}
		}
	}

	cfg.card = *preset(cfg.preset);
	if (over.console && !*over.console)
		cfg.card = without_console(std::move(cfg.card));
	if (over.render_card0)
		cfg.card.render_card0 = *over.render_card0;
	if (over.connected && !*over.connected) {
		// Nothing attached yet, so nothing lit; "connect" brings the topology's modes back.
		for (connector_def &c : cfg.card.connectors) {
			c.connected = false;
			c.bound_encoder = -1;
			c.late = c.late || c.made_on_attach;
		}
		for (crtc_def &c : cfg.card.crtcs)
			c.active = false;
		for (encoder_def &e : cfg.card.encoders)
			e.crtc = -1;
	}
	if (over.display_card_delay_ms)
		cfg.card.display_card_delay_ms = int(*over.display_card_delay_ms);
	driver_def &d = cfg.card.driver;
	if (over.pitch_align)
		d.pitch_align = *over.pitch_align;
	if (over.rg24_red_first)
		d.rg24_red_first = *over.rg24_red_first;
	if (over.commit_waits_vblank)
		d.commit_waits_vblank = *over.commit_waits_vblank;
	if (over.can_scale)
		d.can_scale = *over.can_scale;
	if (over.vblank)
		d.vblank = *over.vblank;
	error.clear();
	return cfg;
}

std::optional<preload_config> read_config(const std::string &path, std::string &error)
{
	struct closer {
		void operator()(FILE *f) const noexcept
		{
			fclose(f);
		}
	};
	std::unique_ptr<FILE, closer> f(fopen(path.c_str(), "r"));
	if (!f) {
		const int err = errno;
		error = path + ": " + strerror(err);
		return std::nullopt;
	}
	std::string text;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, f.get())) > 0)
		text.append(buf, n);
	if (ferror(f.get())) {
		const int err = errno;
		error = path + ": " + strerror(err);
		return std::nullopt;
	}
	std::optional<preload_config> cfg = parse_config(text, error);
	if (!cfg)
		error = path + ": " + error;
	return cfg;
}

} // namespace sim
