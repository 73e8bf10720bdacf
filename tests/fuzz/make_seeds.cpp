// make_seeds <dir>: seed corpora for the fuzzers, made with the project's own JPEG writer and
// uevent builder: <dir>/jpeg_decoder and <dir>/event_monitor. The boot.conf seeds and more frames
// come from make_frames (scripts/fuzz).
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "tests/support/jpeg_file.h"
#include "tools/player_harness.h"

int main(int argc, char **argv)
{
	if (argc != 2) {
		fprintf(stderr, "usage: make_seeds <dir>\n");
		return 2;
	}
	const std::string dir = argv[1];
	const std::string jpeg = dir + "/jpeg_decoder", uevent = dir + "/event_monitor";
	mkdir(dir.c_str(), 0755);
	mkdir(jpeg.c_str(), 0755);
	mkdir(uevent.c_str(), 0755);

	bool ok = true;
	int n = 0;
	for (int components : {3, 1})
		for (int size : {8, 17, 40})
			for (int quality : {50, 95}) {
				const std::string path =
				        jpeg + "/writer-" + std::to_string(n) + ".jpg";
				const rgb_picture p =
				        test_picture(size, size * 3 / 4 + 1, n, components);
				ok = ok && write_jpeg(path, p, quality);
				n++;
			}

	// Each seed datagrams as the uevent fuzzer reads them: two bytes of length, then the bytes.
	auto seed = [&](const char *name, std::initializer_list<std::string> datagrams) {
		std::vector<uint8_t> bytes;
		for (const std::string &d : datagrams) {
			bytes.insert(bytes.end(),
			             {uint8_t(d.size() >> 8), uint8_t(d.size() & 0xff)});
			bytes.insert(bytes.end(), d.begin(), d.end());
		}
		return write_file(uevent + "/" + name, bytes);
	};
	const std::string hotplug = harness::drm_hotplug_uevent(1);
	ok = ok && seed("hotplug", {hotplug}) &&
	     seed("two", {hotplug, harness::drm_hotplug_uevent(2)}) &&
	     seed("add", {"add@" + hotplug.substr(7)}) &&
	     seed("long", {std::string(1000, 'x') + '\0' + hotplug});
	if (!ok)
		fprintf(stderr, "make_seeds: couldn't write the seeds in %s\n", dir.c_str());
	return ok ? 0 : 1;
}
