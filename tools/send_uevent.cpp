// send_uevent: sends one kernel-style uevent datagram to multicast group 1 of the netlink
// kobject-uevent family in the current network namespace, where the player's event monitor
// listens. Run it inside the player's private namespaces (nsenter --target <pid> --user --net
// --preserve-credentials), never in the machine's own: there it would reach every listener.
//
// Usage: send_uevent --drm-hotplug    the change that the kernel sends for a hot-plug of card0
//        send_uevent < datagram       any datagram: NUL-terminated strings, header first
#include <cstdio>
#include <cstring>
#include <linux/netlink.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	std::string datagram;
	if (argc == 2 && strcmp(argv[1], "--drm-hotplug") == 0) {
		const std::string path = "/devices/pci0000:00/0000:00:02.0/drm/card0";
		for (const std::string &s :
		     {"change@" + path, std::string("ACTION=change"), "DEVPATH=" + path,
		      std::string("SUBSYSTEM=drm"), std::string("HOTPLUG=1"),
		      std::string("DEVNAME=dri/card0"), std::string("DEVTYPE=drm_minor"),
		      std::string("MAJOR=226"), std::string("MINOR=0")}) {
			datagram += s;
			datagram += '\0';
		}
	} else if (argc == 1) {
		char buf[4096];
		ssize_t n;
		while ((n = read(0, buf, sizeof buf)) > 0)
			datagram.append(buf, size_t(n));
	} else {
		fprintf(stderr,
		        "usage: send_uevent [--drm-hotplug] (else the datagram on stdin)\n");
		return 2;
	}
	const int s = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
	sockaddr_nl to{};
	to.nl_family = AF_NETLINK;
	to.nl_groups = 1;
	if (s < 0 ||
	    sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to),
	           sizeof to) != ssize_t(datagram.size())) {
		perror("send_uevent");
		return 1;
	}
	return 0;
}
